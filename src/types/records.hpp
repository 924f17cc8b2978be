// Plain value records shared by the compiler, the graph and the Python boundary.
// Fields stand in their declared order; nothing here knows about Python.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "util/hash.hpp"
#include "util/ordered_map.hpp"
#include "util/view_map.hpp"

namespace tovik {

using StrList = std::vector<std::string>;
using StrPair = std::pair<std::string, std::string>;
using StrPairList = std::vector<StrPair>;
// In the order the caller or the text gave the keys: variables are applied in
// that order, and front matter comes back to Python in it.
using StrMap = util::OrderedMap<std::string>;
// Model name to tags, in the caller's order; the tag selection lists its names
// in that order.
using TagsMap = util::OrderedMap<StrList>;

struct SourceInfo {
    std::string database;
    std::string schema;
};

struct ParsedModel {
    std::string name;
    StrList refs;
    StrPairList sources;
    StrList tags;
    std::optional<std::string> materialization;
};

struct EphemeralModel {
    std::string name;
    std::string compiled_body;
    StrList deps;
};

struct ParsedSQL {
    StrList refs;
    StrPairList sources;
    StrList variables;
    std::string body;
    std::optional<StrMap> front_matter;
};

// What a resolved model and the model compiled from it both say. Built once by
// the resolver and never changed after: compiling shares it instead of copying.
struct ModelFacts {
    std::string name;
    std::string target;
    std::string materialization;
    StrList refs;
    StrPairList sources;
    std::optional<std::string> description;
    StrList tags;
    bool enabled = true;
    bool operator==(const ModelFacts&) const = default;
};

// A record whose facts are shared; every record made holds some.
struct WithFacts {
    std::shared_ptr<const ModelFacts> shared;
    const ModelFacts& facts() const { return *shared; }
};

struct ResolvedModel : WithFacts {
    std::string resolved_sql;
    StrList macros;
    std::optional<std::string> unique_key;
};

struct CompiledModel : WithFacts {
    // The DDL and the compiled SQL share one text: every DDL ends in the SQL,
    // which is then the text from sql_at on. Without DDL the text is the SQL.
    std::string text;
    std::size_t ddl_size = 0;
    std::size_t sql_at = 0;
    std::string_view compiled_sql() const { return std::string_view(text).substr(sql_at); }
    std::string_view ddl() const { return std::string_view(text).substr(0, ddl_size); }
};

struct ValidationError {
    std::string model;
    std::string error_type;
    std::string message;
    std::optional<std::string> suggestion;
};

// A model's name and text as the caller holds them, borrowed for one call.
struct NamedText {
    std::string_view name;
    std::string_view raw_sql;
};

// The declared sources by name, as views of records the caller keeps.
using SourceMap = util::ViewMap<const SourceInfo*>;
using EphemeralMap = util::StringMap<EphemeralModel>;

}  // namespace tovik

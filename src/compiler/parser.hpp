#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "types/records.hpp"

namespace tovik::compiler::parser {

// Splits off the front-matter header and collects the ref(), source() and
// {{ var }} references of the body. Never fails.
ParsedSQL parse(std::string_view raw_sql);

// The header's entries in the order written, keys viewing the text. Cheaper to
// build than a map for readers that look up a few keys; searched from the
// back, so that of a key written twice the later value wins, as in the map.
struct Header {
    std::vector<std::pair<std::string_view, std::string>> entries;

    const std::string* find(std::string_view key) const;
    std::string* find(std::string_view key);
};

// The two parts of a model text; the body is a view of the text.
struct Sections {
    std::optional<Header> front_matter;
    std::string_view body;
};
Sections split(std::string_view raw_sql);

// Appends the references of a body in order of appearance; placeholders only
// where `variables` is given.
void collect(std::string_view body, StrList& refs, StrPairList& sources, StrList* variables);

}  // namespace tovik::compiler::parser

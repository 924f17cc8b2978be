// Phase 1 of compiling one model: reference resolution.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

#include "compiler/parser.hpp"
#include "compiler/scanner.hpp"
#include "compiler/substitution.hpp"
#include "errors/error.hpp"
#include "types/records.hpp"
#include "util/hash.hpp"

namespace tovik::compiler::resolver {

// Rewrites refs, sources and {{ var }} placeholders of a parsed body, injects
// the ephemeral models it needs as a WITH clause and builds the record.
Result<ResolvedModel> resolve_sql(std::string_view body, std::string_view model_name,
                                  std::string_view schema, std::string_view materialization,
                                  const StrMap& vars, const SourceMap& sources, const StrList& refs,
                                  const StrPairList& source_pairs,
                                  const std::optional<parser::Header>& front_matter,
                                  const EphemeralMap& ephemerals);

// What resolving needs besides the model itself, taken from the arguments of one
// call: it serves every model of that call and is dropped at its end. The map
// derived part of substitution is built on the first model that needs it, once
// per effective schema, the only entry that differs between models.
class Plan {
public:
    Plan(std::string_view schema, const StrMap& vars, const SourceMap& sources,
         const EphemeralMap& ephemerals);
    ~Plan();
    Plan(const Plan&) = delete;
    Plan& operator=(const Plan&) = delete;

    // resolve_sql for one model, taking over its lists. `hits`, when given, are
    // the body's hits, in order, that `refs` and `source_pairs` were collected
    // from.
    Result<ResolvedModel> resolve(std::string_view body, const std::vector<scanner::Hit>* hits,
                                  std::string_view model_name, std::string_view materialization,
                                  StrList refs, StrPairList source_pairs,
                                  const std::optional<parser::Header>& front_matter);

private:
    struct Cached;
    substitution::Substituter& substituter_for(std::string_view effective_schema,
                                               std::unique_ptr<Cached>& uncached);
    // max_var_passes(), read once per call: no caller code runs while it resolves.
    std::uint64_t passes();
    // Into values_, what the first substitution pass puts at each Var hit, when
    // there is one and every value is one that rewrite_from_hits may splice.
    bool var_values(std::string_view body, const std::vector<scanner::Hit>& hits,
                    std::string_view effective_schema, std::unique_ptr<Cached>& uncached);

    std::string_view schema_;
    const SourceMap& sources_;
    const EphemeralMap& ephemerals_;
    substitution::Limits limits_;
    std::optional<std::uint64_t> passes_;
    substitution::VarEntries entries_;  // the variables, in the map's order
    bool schema_var_;                   // a "schema" variable of the caller's own
    std::vector<std::unique_ptr<Cached>> cached_;
    // Scratch of one model at a time, kept for its capacity.
    std::vector<const SourceInfo*> infos_;
    std::vector<char> bare_;
    std::vector<std::string_view> values_;
};

// Appends `name` and the ephemeral models it depends on, dependencies first, each
// once. Walks with an explicit stack: dependency chains can be arbitrarily long.
using Visited = std::unordered_set<std::string, util::StringHash, std::equal_to<>>;
void collect_recursive(const std::string& name, const EphemeralMap& ephemerals, Visited& visited,
                       std::vector<StrPair>& collected);

// The most substitution passes one resolution may run, from TOVIK_MAX_VAR_PASSES.
std::uint64_t max_var_passes();

}  // namespace tovik::compiler::resolver

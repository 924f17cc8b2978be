// Phase 1 (reference resolution) and phase 2 (DDL wrapping) of compiling one model.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

#include "errors/error.hpp"
#include "types/records.hpp"

namespace tovik::compiler::resolver {

// Rewrites refs, sources and {{ var }} placeholders of a parsed body, injects
// the ephemeral models it needs as a WITH clause and builds the record.
Result<ResolvedModel> resolve_sql(std::string_view body, std::string_view model_name,
                                  std::string_view schema, std::string_view materialization,
                                  const StrMap& vars, const SourceMap& sources, const StrList& refs,
                                  const StrPairList& source_pairs,
                                  const std::optional<StrMap>& front_matter,
                                  const EphemeralMap& ephemerals);

// Appends `name` and the ephemeral models it depends on, dependencies first, each
// once. Walks with an explicit stack: dependency chains can be arbitrarily long.
void collect_recursive(const std::string& name, const EphemeralMap& ephemerals,
                       std::unordered_set<std::string>& visited, std::vector<StrPair>& collected);

// The most substitution passes one resolution may run, from TOVIK_MAX_VAR_PASSES.
std::uint64_t max_var_passes();

Result<CompiledModel> wrap_ddl(const ResolvedModel& model);

// The rewriting steps one by one, so that the one-scan rewrites can be checked
// against the plain sequential ones. `allow_fast` = false forces the sequential
// algorithm throughout.
namespace detail {

std::string rewrite_refs(std::string text, std::string_view schema, const StrList& other_refs,
                         const StrList& ephemeral_refs, bool allow_fast);

// Every source name of `pairs` must be a key of `sources`.
std::string rewrite_sources(std::string text, const StrPairList& pairs, const SourceMap& sources,
                            bool allow_fast);

using VarEntries = std::vector<std::pair<std::string_view, std::string_view>>;

struct SubstitutionRun {
    std::uint64_t passes = 0;       // passes counted as the sequential algorithm counts them
    VarEntries order;               // the map order the run used
    std::optional<std::string> leftover;  // set when the outcome was decided by a size or work bound
};

// Runs the substitution passes over `text` in place. With `reorder` the entries
// may be put in another order first (the one used is returned). Throws
// SizeLimitExceeded when a bound is hit and the outcome is not certainly an error.
SubstitutionRun substitute(std::string& text, VarEntries entries, std::uint64_t pass_limit,
                           std::string_view model_name, bool allow_fast, bool reorder);

}  // namespace detail

}  // namespace tovik::compiler::resolver

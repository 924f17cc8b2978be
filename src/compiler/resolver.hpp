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

// The most bytes the working text may hold after any rewriting step: an eighth
// of the memory the process may use (physical memory, or a smaller address
// space or data limit), so that the few copies alive at once still fit.
std::size_t text_size_bound();

Result<CompiledModel> wrap_ddl(const ResolvedModel& model);

// The rewriting steps one by one, so that the one-scan rewrites can be checked
// against the plain sequential ones. `allow_fast` = false forces the sequential
// algorithm throughout.
namespace detail {

// Both throw SizeLimitExceeded when a step's result would exceed `bound` bytes.
std::string rewrite_refs(std::string text, std::string_view schema, const StrList& other_refs,
                         const StrList& ephemeral_refs, bool allow_fast,
                         std::size_t bound = text_size_bound());

// Every source name of `pairs` must be a key of `sources`.
std::string rewrite_sources(std::string text, const StrPairList& pairs, const SourceMap& sources,
                            bool allow_fast, std::size_t bound = text_size_bound());

using VarEntries = std::vector<std::pair<std::string_view, std::string_view>>;

struct Limits {
    std::size_t size = text_size_bound();        // bytes the text may hold after any replacement
    std::uint64_t work = std::uint64_t{1} << 40;  // bytes the passes may scan and build
    std::uint64_t first_try = std::uint64_t{1} << 26;  // work before the first proof attempt
    std::size_t window = std::size_t{64} << 10;   // smallest prefix the proofs follow
};

struct SubstitutionRun {
    std::uint64_t passes = 0;       // passes counted as the sequential algorithm counts them
    VarEntries order;               // the map order the run used
    std::optional<std::string> leftover;  // set when the outcome was proven without the full run
};

// Runs the substitution passes over `text` in place. With `reorder` the entries
// may be put in another order first (the one used is returned). When the run
// would be too large, the outcome may be proven otherwise (then `leftover` is
// set and `text` is wherever the run stopped); failing that, SizeLimitExceeded
// is thrown.
SubstitutionRun substitute(std::string& text, VarEntries entries, std::uint64_t pass_limit,
                           std::string_view model_name, bool allow_fast, bool reorder,
                           const Limits& limits = Limits{});

}  // namespace detail

}  // namespace tovik::compiler::resolver

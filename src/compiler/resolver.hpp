// Phase 1 of compiling one model: reference resolution.
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

}  // namespace tovik::compiler::resolver

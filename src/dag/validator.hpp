// Checks of a project's dependency graph: refs to missing models, undeclared
// sources and a dependency cycle, reported as findings rather than errors.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "dag/builder.hpp"
#include "types/records.hpp"

namespace tovik::dag::validator {

// What a caller that built the graph from these same models knows already,
// and that spares the search for it.
struct Known {
    bool refs_resolved = false;  // every ref names a node
    bool acyclic = false;
};

// Findings in this order: every ref missing from the graph, every undeclared
// source, then at most one cycle. Never fails.
std::vector<ValidationError> validate(const Dag& dag, ModelRefs models,
                                      const StrList& available_sources, Known known = {});

// [target, source, target] of the first back edge met by a depth-first walk
// that starts at each undiscovered node in index order and follows outgoing
// edges newest first; empty when the graph is acyclic.
StrList find_cycle_path(const Graph& g);

}  // namespace tovik::dag::validator

// Topological batches of the dependency graph: models grouped so that each
// group depends only on earlier ones, and can be built in that order.
#pragma once

#include <cstdint>
#include <vector>

#include "dag/builder.hpp"
#include "types/records.hpp"

namespace tovik::dag::sorter {

// Kahn's algorithm one level per pass: every model of a batch depends only on
// models of earlier batches. Models on a cycle, and everything downstream of
// one, are left out silently; the validator is what reports cycles.
std::vector<StrList> topo_sort_batches(const Graph& g);

// The same batches as node indices.
using Batches = std::vector<std::vector<std::uint32_t>>;
Batches topo_sort_nodes(const Graph& g);

// The names of the nodes, batch by batch.
std::vector<StrList> names_of(const Graph& g, const Batches& batches);

}  // namespace tovik::dag::sorter

#pragma once

#include <vector>

#include "dag/builder.hpp"
#include "types/records.hpp"

namespace tovik::dag::sorter {

// Kahn's algorithm one level per pass: every model of a batch depends only on
// models of earlier batches. Models on a cycle, and everything downstream of
// one, are left out silently; the validator is what reports cycles.
std::vector<StrList> topo_sort_batches(const Graph& g);

}  // namespace tovik::dag::sorter

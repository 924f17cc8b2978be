#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "dag/builder.hpp"
#include "types/records.hpp"

namespace tovik::dag::validator {

// Findings in this order: every ref missing from the graph, every undeclared
// source, then at most one cycle. Never fails.
std::vector<ValidationError> validate(const Dag& dag, const std::vector<ParsedModel>& models,
                                      const StrList& available_sources);

// [target, source, target] of the first back edge met by a depth-first walk
// that starts at each undiscovered node in index order and follows outgoing
// edges newest first; empty when the graph is acyclic.
StrList find_cycle_path(const Graph& g);

// The candidate most similar to name by Jaro-Winkler, if any reaches 0.8;
// among equals the last in list order wins.
std::optional<std::string> closest_match(std::string_view name,
                                         const std::vector<std::string_view>& candidates);

// Jaro-Winkler similarity over the code points of two UTF-8 strings: prefix
// bonus for at most four characters, granted only above a Jaro score of 0.7.
double jaro_winkler(std::string_view a, std::string_view b);

}  // namespace tovik::dag::validator

#pragma once

#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

#include "dag/builder.hpp"
#include "types/records.hpp"

namespace tovik::dag::selector {

// Names of everything downstream (descendants) or upstream (ancestors) of the
// model of that name, without the name itself; empty for an unknown name.
std::unordered_set<std::string> get_descendants(const Dag& dag, std::string_view name);
std::unordered_set<std::string> get_ancestors(const Dag& dag, std::string_view name);

// Pattern forms, tried in this order: "+name+", "name+", "+name" (with the name
// even if the graph lacks it), "prefix/*", "tag:t" (looked up in tags_map,
// keeping only names in the graph), else an exact name. Distinct names, in no
// particular order. Never fails.
StrList select(const Dag& dag, std::string_view pattern,
               const std::unordered_map<std::string, StrList>& tags_map);

}  // namespace tovik::dag::selector

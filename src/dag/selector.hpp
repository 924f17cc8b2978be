// Model selection over the dependency graph: a model's ancestors or
// descendants, and the names that a selection pattern picks.
#pragma once

#include <string>
#include <string_view>

#include "dag/builder.hpp"
#include "types/records.hpp"
#include "util/hash.hpp"

namespace tovik::dag::selector {

// Names of everything downstream (descendants) or upstream (ancestors) of the
// model of that name, without the name itself; empty for an unknown name.
util::StringSet get_descendants(const Dag& dag, std::string_view name);
util::StringSet get_ancestors(const Dag& dag, std::string_view name);

// Pattern forms, tried in this order: "+name+", "name+", "+name" (with the name
// even if the graph lacks it), "prefix/*", "tag:t" (looked up in tags_map,
// keeping only names in the graph), else an exact name. Distinct names, in an
// order that depends on the inputs alone: walk order for the "+" forms, node
// order for a prefix, the tags map's own order for a tag. Never fails.
StrList select(const Dag& dag, std::string_view pattern, const TagsMap& tags_map);

}  // namespace tovik::dag::selector

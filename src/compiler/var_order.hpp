// The order in which substitution takes the caller's variables. The passes
// take the map's entries one after another, and when values hold other
// placeholders the order decides the result; callers compare plans across
// runs and versions, so the order must not follow a seeded hash.
#pragma once

#include <string_view>
#include <utility>
#include <vector>

#include "types/records.hpp"

namespace tovik::compiler::var_order {

using Entries = std::vector<std::pair<std::string_view, std::string_view>>;

// The variables, given in the caller's order (a dict's), in the order that
// every earlier version substituted them: that in which an unseeded
// std::unordered_map<std::string, std::string>, reserved for their number and
// filled in the caller's order, iterates them. Worked out from the standard
// hash without a table, so that keys that collide under it cost nothing more.
// A key given twice keeps its first place and its last value.
Entries legacy_order(const StrPairList& in_caller_order);

}  // namespace tovik::compiler::var_order

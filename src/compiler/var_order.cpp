#include "compiler/var_order.hpp"

#include <functional>
#include <unordered_map>
#include <unordered_set>

#include "util/hash.hpp"
#include "util/interrupt.hpp"

namespace tovik::compiler::var_order {

// libstdc++ keeps all nodes on one singly linked list. A key whose bucket is
// empty goes to the front of the list; any other goes right after the node
// that precedes its bucket's first node, i.e. to the front of its bucket's
// run. Each bucket remembers the node before its run. This replays exactly
// that, with the bucket count the table itself picks for the reservation.
Entries legacy_order(const StrPairList& in_caller_order) {
    const std::size_t given = in_caller_order.size();
    // Only the first occurrence of a key makes a node.
    std::vector<std::size_t> firsts;
    firsts.reserve(given);
    std::unordered_map<std::string_view, std::size_t, util::StringHash> last_value;
    last_value.reserve(given);
    for (std::size_t i = 0; i < given; ++i) {
        const auto [it, fresh] = last_value.try_emplace(in_caller_order[i].first, i);
        if (fresh)
            firsts.push_back(i);
        else
            it->second = i;
    }
    const std::size_t n = firsts.size();
    if (n == 0) return {};
    util::work(n * 16);

    std::unordered_map<std::string, std::string> shape;
    shape.reserve(given);
    const std::size_t buckets = shape.bucket_count();

    constexpr std::size_t kNone = static_cast<std::size_t>(-1);
    const std::size_t before_begin = n;
    std::vector<std::size_t> next(n + 1, kNone), bucket_of(n), before(buckets, kNone);
    const std::hash<std::string_view> standard;
    for (std::size_t x = 0; x < n; ++x) {
        const std::size_t b = standard(in_caller_order[firsts[x]].first) % buckets;
        bucket_of[x] = b;
        if (before[b] != kNone) {
            next[x] = next[before[b]];
            next[before[b]] = x;
        } else {
            next[x] = next[before_begin];
            next[before_begin] = x;
            if (next[x] != kNone) before[bucket_of[next[x]]] = x;
            before[b] = before_begin;
        }
    }
    Entries out;
    out.reserve(n);
    for (std::size_t x = next[before_begin]; x != kNone; x = next[x]) {
        const auto& key = in_caller_order[firsts[x]].first;
        out.emplace_back(key, in_caller_order[last_value.find(key)->second].second);
    }
    return out;
}

}  // namespace tovik::compiler::var_order

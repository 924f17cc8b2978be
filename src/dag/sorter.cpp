#include "dag/sorter.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "util/interrupt.hpp"
#include "util/prefetch.hpp"

namespace tovik::dag::sorter {

Batches topo_sort_nodes(const Graph& g) {
    const std::size_t n = g.nodes.size();
    std::vector<std::uint32_t> in_degree(n, 0);  // below END, as the edges are
    constexpr std::size_t kChunk = std::size_t{1} << 16;
    for (std::size_t from = 0; from < g.edges.size(); from += kChunk) {
        const std::size_t to = std::min(g.edges.size(), from + kChunk);
        for (std::size_t e = from; e < to; ++e) ++in_degree[g.edges[e].target];
        util::work(to - from);
    }

    // A node becomes ready at most once, so a flat array of n slots is a FIFO
    // that never has to wrap.
    std::vector<std::uint32_t> queue(n);
    std::size_t head = 0;
    std::size_t tail = 0;
    for (std::size_t i = 0; i < n; ++i) {
        if (in_degree[i] == 0) queue[tail++] = static_cast<std::uint32_t>(i);
    }

    // In a graph past the cache every node and edge read is a wait for memory;
    // the queue says which come next, so they are asked for ahead.
    constexpr std::size_t kAhead = util::kPrefetchAhead;
    const bool ahead = n >= util::kPrefetchFrom;
    Batches batches;
    while (head < tail) {
        // Nodes released while this level is processed belong to the next one.
        const std::size_t level_end = tail;
        std::vector<std::uint32_t> batch;
        batch.reserve(level_end - head);
        for (; head < level_end; ++head) {
            if (ahead) {
                if (head + kAhead < tail) util::prefetch(&g.nodes[queue[head + kAhead]]);
                if (head + kAhead / 2 < tail) {
                    const std::uint32_t e = g.nodes[queue[head + kAhead / 2]].out_head;
                    if (e != END) util::prefetch(&g.edges[e]);
                }
            }
            const std::uint32_t node = queue[head];
            batch.push_back(node);
            std::size_t walked = 0;
            g.for_each_out(node, [&](std::uint32_t next) {
                ++walked;
                if (--in_degree[next] == 0) queue[tail++] = next;
            });
            util::work(kVisitWork * (1 + walked));
        }
        batches.push_back(std::move(batch));
    }
    return batches;
}

std::vector<StrList> names_of(const Graph& g, const Batches& batches) {
    std::vector<StrList> out;
    out.reserve(batches.size());
    for (const auto& batch : batches) {
        StrList& names = out.emplace_back();
        names.reserve(batch.size());
        for (const std::uint32_t node : batch) names.push_back(g.nodes[node].name);
        util::work(kVisitWork * batch.size());
    }
    return out;
}

std::vector<StrList> topo_sort_batches(const Graph& g) { return names_of(g, topo_sort_nodes(g)); }

}  // namespace tovik::dag::sorter

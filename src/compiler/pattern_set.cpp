#include "compiler/pattern_set.hpp"

#include <algorithm>

namespace tovik::compiler::pattern_set {

// The trie is built from the patterns in sorted order, so that each node's
// edges come out in byte order and no map from (node, byte) is needed while
// building: such a map over caller-chosen bytes would be one more table to
// flood.
void PatternSet::build() {
    std::sort(added_.begin(), added_.end(),
              [](const Added& a, const Added& b) { return a.pattern < b.pattern; });
    struct Edge {
        std::uint32_t from;
        unsigned char byte;
        std::uint32_t to;
    };
    std::vector<Edge> edges;
    std::vector<std::uint32_t> path{0};  // nodes along the previous pattern
    std::string_view prev;
    out_head_.assign(1, kNone);
    for (const auto& [pattern, id] : added_) {
        std::size_t common = 0;
        const std::size_t most = std::min(prev.size(), pattern.size());
        while (common < most && prev[common] == pattern[common]) ++common;
        util::work(common + pattern.size());
        path.resize(common + 1);
        for (std::size_t k = common; k < pattern.size(); ++k) {
            const auto node = static_cast<std::uint32_t>(out_head_.size());
            out_head_.push_back(kNone);
            edges.push_back({path.back(), static_cast<unsigned char>(pattern[k]), node});
            path.push_back(node);
        }
        const std::uint32_t end = path[pattern.size()];
        out_id_.push_back(id);
        out_next_.push_back(out_head_[end]);
        out_head_[end] = static_cast<std::uint32_t>(out_id_.size() - 1);
        prev = pattern;
    }
    added_.clear();
    added_.shrink_to_fit();

    // Edges grouped by their node, each group in byte order already.
    const auto nodes = static_cast<std::uint32_t>(out_head_.size());
    first_edge_.assign(nodes + 1, 0);
    for (const auto& e : edges) ++first_edge_[e.from + 1];
    for (std::uint32_t u = 0; u < nodes; ++u) first_edge_[u + 1] += first_edge_[u];
    edge_byte_.resize(edges.size());
    edge_to_.resize(edges.size());
    std::vector<std::uint32_t> at(first_edge_.begin(), first_edge_.end() - 1);
    for (const auto& e : edges) {
        edge_byte_[at[e.from]] = e.byte;
        edge_to_[at[e.from]++] = e.to;
    }

    fail_.assign(nodes, 0);
    dict_.assign(nodes, 0);
    seen_.assign(nodes, 0);
    std::vector<std::uint32_t> queue{0};
    for (std::size_t head = 0; head < queue.size(); ++head) {
        const std::uint32_t u = queue[head];
        for (std::uint32_t k = first_edge_[u]; k < first_edge_[u + 1]; ++k) {
            const std::uint32_t v = edge_to_[k];
            const unsigned char c = edge_byte_[k];
            std::uint32_t f = 0;
            if (u != 0) {
                f = fail_[u];
                std::uint32_t t;
                while ((t = child(f, c)) == kNone && f != 0) f = fail_[f];
                f = t == kNone ? 0 : t;
            }
            fail_[v] = f;
            dict_[v] = out_head_[f] != kNone ? f : dict_[f];
            queue.push_back(v);
        }
    }
    if (nodes <= kDfaNodes) {
        auto entry = [&](std::uint32_t v) {
            const bool reports = out_head_[v] != kNone || dict_[v] != 0;
            return static_cast<std::uint16_t>(v | (reports ? kReports : 0));
        };
        // In breadth-first order a node's failure target is filled in first.
        dfa_.assign(std::size_t{nodes} << 8, 0);
        for (const std::uint32_t u : queue) {
            std::uint16_t* row = dfa_.data() + (std::size_t{u} << 8);
            if (u != 0) {
                const std::uint16_t* fail_row = dfa_.data() + (std::size_t{fail_[u]} << 8);
                std::copy(fail_row, fail_row + 256, row);
            }
            for (std::uint32_t k = first_edge_[u]; k < first_edge_[u + 1]; ++k)
                row[edge_byte_[k]] = entry(edge_to_[k]);
        }
    }
    built_ = true;
}

}  // namespace tovik::compiler::pattern_set

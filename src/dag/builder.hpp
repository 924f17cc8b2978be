// The model dependency graph: one node per model, an edge from each referenced
// model to the model that refers to it, and an index from name to node.
//
// Each node heads two singly linked lists threaded through the edge array, one
// of its outgoing and one of its incoming edges. New edges are pushed at the
// head, so every neighbour walk yields the newest edge first; the cycle search
// and the topological batches depend on that order.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "types/records.hpp"
#include "util/hash.hpp"
#include "util/prefetch.hpp"

namespace tovik::dag {

// End of an edge list; also the reason why indices stop one short of 2^32.
inline constexpr std::uint32_t END = 0xFFFFFFFFu;

struct Node {
    std::string name;
    std::uint32_t out_head = END;
    std::uint32_t in_head = END;
};

struct Edge {
    std::uint32_t source, target, next_out, next_in;
};

struct Graph {
    std::vector<Node> nodes;
    std::vector<Edge> edges;

    // Both throw std::length_error once the index would reach END.
    std::uint32_t add_node(std::string name);
    std::uint32_t add_edge(std::uint32_t s, std::uint32_t t);

    // f(neighbour) once per edge, newest edge first.
    template <class F>
    void for_each_out(std::uint32_t n, F&& f) const {
        for (std::uint32_t e = nodes[n].out_head; e != END; e = edges[e].next_out) {
            f(edges[e].target);
        }
    }
    template <class F>
    void for_each_in(std::uint32_t n, F&& f) const {
        for (std::uint32_t e = nodes[n].in_head; e != END; e = edges[e].next_in) {
            f(edges[e].source);
        }
    }
};

struct Dag {
    Graph graph;

    // The node of a name, END when no node carries it. A name shared by several
    // models maps to the node of the last of them. `hash` is util::hash_bytes
    // of the name, for a caller that has it already.
    std::uint32_t find(std::string_view name) const { return find(name, util::hash_bytes(name)); }
    std::uint32_t find(std::string_view name, std::size_t hash) const;
    bool contains(std::string_view name) const { return find(name) != END; }

    // Whether the index is large enough for prefetching to pay: in a graph of
    // millions of nodes each look-up misses the cache, and a caller can
    // overlap the misses of names it will look up soon. First the slot of a
    // name's hash; then, once that has had time to arrive, the node it holds.
    bool worth_prefetching() const { return slots_.size() >= util::kPrefetchFrom; }
    void prefetch_slot(std::size_t hash) const { util::prefetch(&slots_[hash & (slots_.size() - 1)]); }
    void prefetch_node(std::size_t hash) const {
        if (const std::uint32_t node = slots_[hash & (slots_.size() - 1)].node; node != END)
            util::prefetch(&graph.nodes[node]);
    }

    // Indexes every node's name; called once the last node is added. With
    // `found`, found[i] is then find() of node i's name, without a search.
    void index_names(std::vector<std::uint32_t>* found = nullptr);

private:
    // Open addressing over node indices: the names stay in the nodes, so the
    // index costs eight bytes a slot however long the names are.
    struct Slot {
        std::uint32_t node = END;
        std::uint32_t tag = 0;  // high bits of the name's hash
    };
    std::vector<Slot> slots_;
};

// What a node or an edge visited in a graph past the cache costs, in the units
// of util::work (about a byte scanned): one wait for memory.
inline constexpr std::size_t kVisitWork = 64;

}  // namespace tovik::dag

namespace tovik::dag {

// The models of a project, read where they stand: in the caller's records or
// in a vector of the pipeline's own.
using ModelRefs = std::span<const ParsedModel* const>;
std::vector<const ParsedModel*> refs_of(const std::vector<ParsedModel>& models);

}  // namespace tovik::dag

namespace tovik::dag::builder {

// Refs that name no model are skipped here; the validator reports them.
// `unresolved`, when given, is set to how many there were.
Dag build(ModelRefs models, std::size_t* unresolved = nullptr);

// (parent, child) per edge, in creation order.
std::vector<StrPair> edges(const Dag& dag);

}  // namespace tovik::dag::builder

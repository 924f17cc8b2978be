#include "dag/builder.hpp"

#include <stdexcept>
#include <utility>

#include "util/interrupt.hpp"

namespace tovik::dag {

std::uint32_t Graph::add_node(std::string name) {
    if (nodes.size() >= END) throw std::length_error("graph node index past the 32-bit limit");
    const auto index = static_cast<std::uint32_t>(nodes.size());
    nodes.push_back(Node{std::move(name), END, END});
    return index;
}

std::uint32_t Graph::add_edge(std::uint32_t s, std::uint32_t t) {
    if (edges.size() >= END) throw std::length_error("graph edge index past the 32-bit limit");
    const auto index = static_cast<std::uint32_t>(edges.size());
    // For a self-loop s == t, so both heads are read before either is replaced
    // and the edge joins both of the node's lists.
    edges.push_back(Edge{s, t, nodes[s].out_head, nodes[t].in_head});
    nodes[s].out_head = index;
    nodes[t].in_head = index;
    return index;
}

namespace {
std::uint32_t tag_of(std::size_t hash) { return static_cast<std::uint32_t>(hash >> 32); }
}  // namespace

void Dag::index_names(std::vector<std::uint32_t>* found) {
    std::size_t capacity = 8;
    while (capacity < 2 * graph.nodes.size()) capacity *= 2;
    slots_.assign(capacity, Slot{});
    const std::size_t mask = capacity - 1;
    // Each node's slot first, where the last node of its name ends up; slot
    // numbers past 32 bits (billions of nodes) are looked up instead.
    const bool slot_fits = mask <= END;
    const std::size_t n = graph.nodes.size();
    if (found != nullptr) found->resize(n);
    // Each name is hashed once: at its prefetch, kAhead nodes early, when
    // there is one.
    constexpr std::size_t kAhead = util::kPrefetchAhead;
    std::size_t ahead_hash[2 * kAhead] = {};
    const bool ahead = worth_prefetching();
    if (ahead)
        for (std::size_t k = 0; k < kAhead && k < n; ++k)
            ahead_hash[k] = util::hash_bytes(graph.nodes[k].name);
    for (std::uint32_t node = 0; node < n; ++node) {
        util::work(kVisitWork);
        std::size_t h;
        if (ahead) {
            if (node + kAhead < n) {
                const std::size_t next = util::hash_bytes(graph.nodes[node + kAhead].name);
                ahead_hash[(node + kAhead) % (2 * kAhead)] = next;
                prefetch_slot(next);
            }
            h = ahead_hash[node % (2 * kAhead)];
        } else {
            h = util::hash_bytes(graph.nodes[node].name);
        }
        const std::string& name = graph.nodes[node].name;
        const std::uint32_t tag = tag_of(h);
        for (std::size_t i = h & mask;; i = (i + 1) & mask) {
            Slot& s = slots_[i];
            if (s.node == END || (s.tag == tag && graph.nodes[s.node].name == name)) {
                s = Slot{node, tag};
                if (found != nullptr && slot_fits) (*found)[node] = static_cast<std::uint32_t>(i);
                break;
            }
        }
    }
    if (found == nullptr) return;
    for (std::uint32_t node = 0; node < n; ++node)
        (*found)[node] = slot_fits ? slots_[(*found)[node]].node : find(graph.nodes[node].name);
}

std::uint32_t Dag::find(std::string_view name, std::size_t hash) const {
    if (slots_.empty()) return END;
    const std::size_t mask = slots_.size() - 1;
    const std::uint32_t tag = tag_of(hash);
    for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
        const Slot& s = slots_[i];
        if (s.node == END) return END;
        if (s.tag == tag && graph.nodes[s.node].name == name) return s.node;
    }
}

std::vector<const ParsedModel*> refs_of(const std::vector<ParsedModel>& models) {
    std::vector<const ParsedModel*> out;
    out.reserve(models.size());
    for (const auto& m : models) out.push_back(&m);
    return out;
}

}  // namespace tovik::dag

namespace tovik::dag::builder {

Dag build(ModelRefs models, std::size_t* unresolved) {
    Dag dag;
    dag.graph.nodes.reserve(models.size());
    std::size_t ref_count = 0;
    for (const ParsedModel* m : models) {
        util::work(kVisitWork + m->name.size());
        dag.graph.add_node(m->name);
        ref_count += m->refs.size();
    }
    std::vector<std::uint32_t> target_of;
    dag.index_names(&target_of);
    dag.graph.edges.reserve(ref_count < END ? ref_count : END);

    // Only after every node exists, so that a ref to a later model counts.
    // In a large graph the slots of the refs of models kAhead places ahead
    // are fetched, and the nodes in them for models half as far ahead; each
    // ref is hashed once, at the first of these, and its hash kept until use.
    constexpr std::size_t kAhead = util::kPrefetchAhead;
    const bool ahead = dag.worth_prefetching();
    std::vector<std::size_t> ref_hash[kAhead + 1];
    const auto hash_refs = [&](std::size_t k) {
        auto& hashes = ref_hash[k % (kAhead + 1)];
        hashes.clear();
        for (const auto& ref : models[k]->refs) {
            hashes.push_back(util::hash_bytes(ref));
            dag.prefetch_slot(hashes.back());
        }
    };
    if (ahead)
        for (std::size_t k = 0; k < kAhead && k < models.size(); ++k) hash_refs(k);
    std::size_t missing = 0;
    for (std::size_t i = 0; i < models.size(); ++i) {
        const ParsedModel* m = models[i];
        util::work(kVisitWork * (1 + m->refs.size()));
        const auto target = target_of[i];
        if (ahead) {
            if (i + kAhead < models.size()) hash_refs(i + kAhead);
            if (i + kAhead / 2 < models.size())
                for (const std::size_t h : ref_hash[(i + kAhead / 2) % (kAhead + 1)])
                    dag.prefetch_node(h);
        }
        const auto& hashes = ref_hash[i % (kAhead + 1)];
        for (std::size_t r = 0; r < m->refs.size(); ++r) {
            const std::string& ref = m->refs[r];
            const auto source = dag.find(ref, ahead ? hashes[r] : util::hash_bytes(ref));
            if (source != END)
                dag.graph.add_edge(source, target);
            else
                ++missing;
        }
    }
    if (unresolved != nullptr) *unresolved = missing;
    return dag;
}

std::vector<StrPair> edges(const Dag& dag) {
    const auto& g = dag.graph;
    std::vector<StrPair> out;
    out.reserve(g.edges.size());
    for (const auto& e : g.edges) out.emplace_back(g.nodes[e.source].name, g.nodes[e.target].name);
    return out;
}

}  // namespace tovik::dag::builder

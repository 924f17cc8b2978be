#include "dag/builder.hpp"

#include <stdexcept>
#include <utility>

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

std::size_t Dag::home(std::string_view name, std::uint32_t& tag) const {
    const std::size_t h = std::hash<std::string_view>{}(name);
    tag = static_cast<std::uint32_t>(h >> 32);
    return h & (slots_.size() - 1);
}

namespace {
// An index of less than half a megabyte stays in the cache anyway.
constexpr std::size_t kCachedSlots = std::size_t{1} << 16;
}  // namespace

void Dag::prefetch(std::string_view name) const {
    if (slots_.size() < kCachedSlots) return;
    std::uint32_t tag = 0;
    __builtin_prefetch(&slots_[home(name, tag)]);
}

void Dag::prefetch_node(std::string_view name) const {
    if (slots_.size() < kCachedSlots) return;
    std::uint32_t tag = 0;
    if (const std::uint32_t node = slots_[home(name, tag)].node; node != END)
        __builtin_prefetch(&graph.nodes[node]);
}

void Dag::index_names(std::vector<std::uint32_t>* found) {
    std::size_t capacity = 8;
    while (capacity < 2 * graph.nodes.size()) capacity *= 2;
    slots_.assign(capacity, Slot{});
    const std::size_t mask = capacity - 1;
    // Each node's slot first, where the last node of its name ends up; slot
    // numbers past 32 bits (billions of nodes) are looked up instead.
    const bool slot_fits = mask <= END;
    if (found != nullptr) found->resize(graph.nodes.size());
    constexpr std::size_t kAhead = 8;  // nodes whose slots are fetched ahead
    for (std::uint32_t node = 0; node < graph.nodes.size(); ++node) {
        if (node + kAhead < graph.nodes.size()) prefetch(graph.nodes[node + kAhead].name);
        const std::string& name = graph.nodes[node].name;
        std::uint32_t tag = 0;
        for (std::size_t i = home(name, tag);; i = (i + 1) & mask) {
            Slot& s = slots_[i];
            if (s.node == END || (s.tag == tag && graph.nodes[s.node].name == name)) {
                s = Slot{node, tag};
                if (found != nullptr && slot_fits) (*found)[node] = static_cast<std::uint32_t>(i);
                break;
            }
        }
    }
    if (found == nullptr) return;
    for (std::uint32_t node = 0; node < graph.nodes.size(); ++node)
        (*found)[node] = slot_fits ? slots_[(*found)[node]].node : find(graph.nodes[node].name);
}

std::uint32_t Dag::find(std::string_view name) const {
    if (slots_.empty()) return END;
    const std::size_t mask = slots_.size() - 1;
    std::uint32_t tag = 0;
    for (std::size_t i = home(name, tag);; i = (i + 1) & mask) {
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
        dag.graph.add_node(m->name);
        ref_count += m->refs.size();
    }
    std::vector<std::uint32_t> target_of;
    dag.index_names(&target_of);
    dag.graph.edges.reserve(ref_count < END ? ref_count : END);

    // Only after every node exists, so that a ref to a later model counts.
    // The slots of the refs of models a few places ahead, and the nodes in
    // them for models half as far ahead.
    constexpr std::size_t kAhead = 8;
    std::size_t missing = 0;
    for (std::size_t i = 0; i < models.size(); ++i) {
        if (i + kAhead < models.size())
            for (const auto& ref : models[i + kAhead]->refs) dag.prefetch(ref);
        if (i + kAhead / 2 < models.size())
            for (const auto& ref : models[i + kAhead / 2]->refs) dag.prefetch_node(ref);
        const ParsedModel* m = models[i];
        const auto target = target_of[i];
        for (const auto& ref : m->refs) {
            const auto source = dag.find(ref);
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

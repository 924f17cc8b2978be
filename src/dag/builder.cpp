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

}  // namespace tovik::dag

namespace tovik::dag::builder {

Dag build(const std::vector<ParsedModel>& models) {
    Dag dag;
    dag.graph.nodes.reserve(models.size());
    dag.name_index.reserve(models.size());
    std::size_t ref_count = 0;
    for (const auto& m : models) {
        const auto node = dag.graph.add_node(m.name);
        dag.name_index.insert_or_assign(m.name, node);
        ref_count += m.refs.size();
    }
    dag.graph.edges.reserve(ref_count < END ? ref_count : END);

    // Only after every node exists, so that a ref to a later model counts.
    for (const auto& m : models) {
        const auto target = dag.name_index.find(m.name)->second;
        for (const auto& ref : m.refs) {
            const auto it = dag.name_index.find(ref);
            if (it != dag.name_index.end()) dag.graph.add_edge(it->second, target);
        }
    }
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

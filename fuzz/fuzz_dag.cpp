// The model graph on a fuzzed list of models: build, edge listing, topological
// batches, validation and selection.
//
// Input (UTF-8; anything else is passed over), one item per line:
//   "?pattern"          a selection pattern to try
//   "!name"             an available source
//   "=name tag tag..."  an extra tags-map entry, for a name the graph may lack
//   otherwise a model:  "name token token ...", tokens separated by one space:
//                       "@src.table" a source pair, "#tag" a tag, "%mat" the
//                       materialization, anything else (the empty token too) a ref
//
// Each result is checked against a plain recomputation from the model list:
// the edges and their neighbour order, the level of every model in the batches
// (and that models on or behind a cycle are in none), the findings in order
// with suggestions that really are the closest candidates, and the exact set of
// names every selection pattern stands for.
#include <algorithm>
#include <deque>
#include <map>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "common.hpp"
#include "dag/builder.hpp"
#include "dag/selector.hpp"
#include "dag/sorter.hpp"
#include "dag/similarity.hpp"
#include "dag/validator.hpp"

namespace {

using namespace tovik;
using dag::Dag;

struct Input {
    std::vector<ParsedModel> models;
    StrList patterns, available;
    TagsMap tags_map;
};

Input decode(std::string_view text) {
    Input in;
    TagsMap extra;
    for (auto line : fuzz::split(text, '\n')) {
        if (!line.empty() && line[0] == '?') {
            in.patterns.emplace_back(line.substr(1));
        } else if (!line.empty() && line[0] == '!') {
            in.available.emplace_back(line.substr(1));
        } else if (!line.empty() && line[0] == '=') {
            auto tokens = fuzz::split(line.substr(1), ' ');
            auto& tags = extra[std::string(tokens[0])];
            for (std::size_t i = 1; i < tokens.size(); ++i) tags.emplace_back(tokens[i]);
        } else {
            auto tokens = fuzz::split(line, ' ');
            ParsedModel m{std::string(tokens[0]), {}, {}, {}, std::nullopt};
            for (std::size_t i = 1; i < tokens.size(); ++i) {
                const auto t = tokens[i];
                if (!t.empty() && t[0] == '@') {
                    const auto dot = t.find('.');
                    m.sources.emplace_back(std::string(t.substr(1, dot == t.npos ? t.npos : dot - 1)),
                                           dot == t.npos ? std::string() : std::string(t.substr(dot + 1)));
                } else if (!t.empty() && t[0] == '#') {
                    m.tags.emplace_back(t.substr(1));
                } else if (!t.empty() && t[0] == '%') {
                    m.materialization.emplace(t.substr(1));
                } else {
                    m.refs.emplace_back(t);
                }
            }
            in.models.push_back(std::move(m));
        }
    }
    for (const auto& m : in.models)
        if (!m.tags.empty()) in.tags_map[m.name] = m.tags;
    for (auto& [name, tags] : extra) in.tags_map.emplace(name, std::move(tags));
    return in;
}

using Multiset = std::map<std::string, int>;

void check_build(const Input& in, const Dag& d) {
    const auto& g = d.graph;
    const auto n = in.models.size();
    FUZZ_CHECK(g.nodes.size() == n);
    std::unordered_map<std::string, std::uint32_t> index;
    for (std::uint32_t i = 0; i < n; ++i) {
        FUZZ_CHECK(g.nodes[i].name == in.models[i].name);
        index[in.models[i].name] = i;
    }
    for (const auto& [name, node] : index) FUZZ_CHECK(d.find(name) == node);

    std::vector<std::pair<std::uint32_t, std::uint32_t>> want;
    for (const auto& m : in.models) {
        const auto t = index.at(m.name);
        for (const auto& r : m.refs)
            if (const auto it = index.find(r); it != index.end()) want.emplace_back(it->second, t);
    }
    FUZZ_CHECK(g.edges.size() == want.size());
    for (std::size_t e = 0; e < want.size(); ++e)
        FUZZ_CHECK(g.edges[e].source == want[e].first && g.edges[e].target == want[e].second);

    // Neighbour walks: one visit per edge, newest edge first.
    std::vector<std::vector<std::uint32_t>> out(n), in_(n);
    for (std::size_t e = want.size(); e-- > 0;) {
        out[want[e].first].push_back(want[e].second);
        in_[want[e].second].push_back(want[e].first);
    }
    for (std::uint32_t v = 0; v < n; ++v) {
        std::vector<std::uint32_t> seen_out, seen_in;
        g.for_each_out(v, [&](std::uint32_t w) { seen_out.push_back(w); });
        g.for_each_in(v, [&](std::uint32_t w) { seen_in.push_back(w); });
        FUZZ_CHECK(seen_out == out[v] && seen_in == in_[v]);
    }

    const auto pairs = dag::builder::edges(d);
    FUZZ_CHECK(pairs.size() == want.size());
    for (std::size_t e = 0; e < want.size(); ++e)
        FUZZ_CHECK(pairs[e].first == in.models[want[e].first].name &&
                   pairs[e].second == in.models[want[e].second].name);
}

using Adjacency = std::vector<std::vector<std::uint32_t>>;

// Targets (forward) or sources (backward) of each node's edges, any order.
Adjacency adjacency(const dag::Graph& g, bool forward) {
    Adjacency adj(g.nodes.size());
    for (const auto& e : g.edges) {
        if (forward) {
            adj[e.source].push_back(e.target);
        } else {
            adj[e.target].push_back(e.source);
        }
    }
    return adj;
}

// Level of every node (longest path from a node without dependencies), or -1
// for a node on a cycle or downstream of one.
std::vector<long> levels(const dag::Graph& g) {
    const auto n = g.nodes.size();
    const auto out = adjacency(g, true);
    std::vector<std::size_t> indeg(n, 0);
    for (const auto& e : g.edges) ++indeg[e.target];
    std::vector<long> level(n, -1);
    std::deque<std::uint32_t> ready;
    for (std::uint32_t v = 0; v < n; ++v)
        if (indeg[v] == 0) ready.push_back(v), level[v] = 0;
    while (!ready.empty()) {
        const auto v = ready.front();
        ready.pop_front();
        for (const auto w : out[v]) {
            level[w] = std::max(level[w], level[v] + 1);
            if (--indeg[w] == 0) ready.push_back(w);
        }
    }
    for (std::uint32_t v = 0; v < n; ++v)
        if (indeg[v] != 0) level[v] = -1;
    return level;
}

bool check_batches(const Dag& d) {
    const auto& g = d.graph;
    const auto level = levels(g);
    const auto batches = dag::sorter::topo_sort_batches(g);
    std::vector<Multiset> want;
    StrList first;
    bool cyclic = false;
    for (std::uint32_t v = 0; v < g.nodes.size(); ++v) {
        if (level[v] < 0) {
            cyclic = true;
            continue;
        }
        if (want.size() <= static_cast<std::size_t>(level[v])) want.resize(level[v] + 1);
        ++want[level[v]][g.nodes[v].name];
        if (level[v] == 0) first.push_back(g.nodes[v].name);
    }
    FUZZ_CHECK(batches.size() == want.size());
    for (std::size_t k = 0; k < batches.size(); ++k) {
        FUZZ_CHECK(!batches[k].empty());
        Multiset got;
        for (const auto& name : batches[k]) ++got[name];
        FUZZ_CHECK(got == want[k]);
    }
    if (!batches.empty()) FUZZ_CHECK(batches[0] == first);
    return cyclic;
}

void check_suggestion(std::string_view name, const std::optional<std::string>& got,
                      const std::vector<std::string_view>& candidates, bool thorough) {
    using dag::similarity::jaro_winkler;
    if (got) FUZZ_CHECK(std::find(candidates.begin(), candidates.end(), *got) != candidates.end());
    if (!thorough) return;
    const double best = got ? jaro_winkler(name, *got) : 0.0;
    if (got) FUZZ_CHECK(best >= 0.8 && best <= 1.0);
    for (const auto c : candidates) {
        const double s = jaro_winkler(name, c);
        FUZZ_CHECK(s >= 0.0 && s <= 1.0);
        FUZZ_CHECK(got ? s <= best : s < 0.8);
    }
}

void check_validation(const Input& in, const Dag& d, bool cyclic) {
    const auto found = dag::validator::validate(d, dag::refs_of(in.models), in.available);
    std::vector<std::string_view> names;
    for (const auto& m : in.models) names.push_back(m.name);
    std::vector<std::string_view> avail(in.available.begin(), in.available.end());
    // Suggestions cost findings times candidates; check their optimality on small inputs.
    const bool thorough = in.models.size() * (in.models.size() + in.available.size()) < 4000;

    std::size_t i = 0;
    for (const auto& m : in.models) {
        for (const auto& r : m.refs) {
            if (d.contains(r)) continue;
            FUZZ_CHECK(i < found.size());
            const auto& f = found[i++];
            FUZZ_CHECK(f.error_type == "missing_ref" && f.model == m.name);
            FUZZ_CHECK(f.message == "ref('" + r + "') not found");
            check_suggestion(r, f.suggestion, names, thorough);
        }
    }
    for (const auto& m : in.models) {
        for (const auto& [s, t] : m.sources) {
            if (std::find(in.available.begin(), in.available.end(), s) != in.available.end())
                continue;
            FUZZ_CHECK(i < found.size());
            const auto& f = found[i++];
            FUZZ_CHECK(f.error_type == "missing_source" && f.model == m.name);
            FUZZ_CHECK(f.message == "source('" + s + "') not declared in project.yaml");
            check_suggestion(s, f.suggestion, avail, thorough);
        }
    }
    const auto path = dag::validator::find_cycle_path(d.graph);
    FUZZ_CHECK(path.empty() == !cyclic);
    FUZZ_CHECK(found.size() == i + (cyclic ? 1 : 0));
    if (!cyclic) return;
    const auto& f = found[i];
    FUZZ_CHECK(path.size() == 3 && path[0] == path[2]);
    FUZZ_CHECK(f.error_type == "cycle" && f.model == path[0]);
    FUZZ_CHECK(f.message == "Circular dependency detected: " + path[0] + " \xE2\x86\x92 " + path[1] +
                                " \xE2\x86\x92 " + path[2]);
    FUZZ_CHECK(f.suggestion == "Remove one of the ref() calls to break the cycle.");
    // The back edge runs from the model named second to the one named first.
    bool edge = false;
    for (const auto& e : d.graph.edges)
        edge = edge || (d.graph.nodes[e.source].name == path[1] && d.graph.nodes[e.target].name == path[0]);
    FUZZ_CHECK(edge);
}

// Names reachable from the model of that name (forwards or backwards), apart
// from nodes carrying the name itself.
std::unordered_set<std::string> reach(const Dag& d, const std::string& name, bool forward) {
    std::unordered_set<std::string> out;
    const auto start = d.find(name);
    if (start == dag::END) return out;
    const auto& g = d.graph;
    const auto adj = adjacency(g, forward);
    std::vector<bool> seen(g.nodes.size(), false);
    std::deque<std::uint32_t> queue{start};
    seen[start] = true;
    while (!queue.empty()) {
        const auto v = queue.front();
        queue.pop_front();
        if (g.nodes[v].name != name) out.insert(g.nodes[v].name);
        for (const auto w : adj[v])
            if (!seen[w]) seen[w] = true, queue.push_back(w);
    }
    return out;
}

std::unordered_set<std::string> expected_selection(const Dag& d, const std::string& p,
                                                   const TagsMap& tags_map) {
    std::unordered_set<std::string> out;
    const bool lead = !p.empty() && p.front() == '+', trail = !p.empty() && p.back() == '+';
    if (lead || trail) {
        std::size_t b = 0, e = p.size();
        if (trail) while (e > b && p[e - 1] == '+') --e;
        if (lead) while (b < e && p[b] == '+') ++b;
        const std::string name = p.substr(b, e - b);
        if (lead) out = reach(d, name, false);
        out.insert(name);
        if (trail) out.merge(reach(d, name, true));
        return out;
    }
    if (p.size() > 1 && p.ends_with("/*")) {
        std::string_view prefix = p;
        while (prefix.ends_with("/*")) prefix.remove_suffix(2);
        for (const auto& node : d.graph.nodes)
            if (node.name.starts_with(prefix)) out.insert(node.name);
        return out;
    }
    if (p.size() >= 4 && p.starts_with("tag:")) {
        const auto t = p.substr(4);
        for (const auto& [name, tags] : tags_map)
            if (d.contains(name) && std::find(tags.begin(), tags.end(), t) != tags.end())
                out.insert(name);
        return out;
    }
    if (d.contains(p)) out.insert(p);
    return out;
}

void check_selection(const Input& in, const Dag& d) {
    for (const auto& p : in.patterns) {
        const auto got = dag::selector::select(d, p, in.tags_map);
        const std::unordered_set<std::string> set(got.begin(), got.end());
        FUZZ_CHECK(set.size() == got.size());
        FUZZ_CHECK(set == expected_selection(d, p, in.tags_map));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto text = fuzz::as_text(data, size);
    if (!fuzz::valid_utf8(text)) return 0;  // names come from Python strings
    const Input in = decode(text);
    const Dag d = dag::builder::build(dag::refs_of(in.models));
    check_build(in, d);
    const bool cyclic = check_batches(d);
    check_validation(in, d, cyclic);
    check_selection(in, d);

    using dag::similarity::jaro_winkler;
    for (std::size_t i = 0; i < in.models.size() && i < 8; ++i) {
        const auto& a = in.models[i].name;
        if (!a.empty()) FUZZ_CHECK(jaro_winkler(a, a) == 1.0);
        const double s = jaro_winkler(a, in.models[in.models.size() - 1 - i].name);
        FUZZ_CHECK(s >= 0.0 && s <= 1.0);
    }
    return 0;
}

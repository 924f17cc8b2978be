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
// with the suggestions a plain Jaro-Winkler written here picks, and the exact
// set of names every selection pattern stands for. The similarity itself is
// compared with that plain one, to the bit, on pairs of names and on names
// stretched past 64 characters.
#include <algorithm>
#include <deque>
#include <map>
#include <optional>
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
#include "dag/suggester.hpp"
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


// Jaro-Winkler as defined, one character pair at a time, over the code points
// of valid UTF-8.
std::u32string code_points(std::string_view s) {
    std::u32string out;
    for (std::size_t i = 0; i < s.size();) {
        const auto b = static_cast<unsigned char>(s[i]);
        const std::size_t n = b < 0x80 ? 1 : b < 0xE0 ? 2 : b < 0xF0 ? 3 : 4;
        char32_t cp = n == 1 ? b : b & (0x7F >> n);
        for (std::size_t k = 1; k < n; ++k) cp = (cp << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
        out.push_back(cp);
        i += n;
    }
    return out;
}

std::string utf8(const std::u32string& cps) {
    std::string out;
    for (const char32_t c : cps) {
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

double plain_jaro_winkler(std::string_view name, std::string_view candidate) {
    const auto a = code_points(name);
    const auto b = code_points(candidate);
    if (a.empty() && b.empty()) return 1.0;
    if (a.empty() || b.empty()) return 0.0;
    const std::size_t half = std::max(a.size(), b.size()) / 2;
    const std::size_t window = half == 0 ? 0 : half - 1;
    std::vector<char> a_hit(a.size()), b_hit(b.size());
    std::size_t matches = 0;
    for (std::size_t i = 0; i < a.size(); ++i) {
        for (std::size_t j = i < window ? 0 : i - window; j <= i + window && j < b.size(); ++j) {
            if (b_hit[j] || a[i] != b[j]) continue;
            a_hit[i] = b_hit[j] = true;
            ++matches;
            break;
        }
    }
    if (matches == 0) return 0.0;
    std::u32string a_order, b_order;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (a_hit[i]) a_order.push_back(a[i]);
    for (std::size_t j = 0; j < b.size(); ++j)
        if (b_hit[j]) b_order.push_back(b[j]);
    std::size_t half_transpositions = 0;
    for (std::size_t k = 0; k < matches; ++k) half_transpositions += a_order[k] != b_order[k];
    const double m = static_cast<double>(matches);
    const double jaro = (m / static_cast<double>(a.size()) + m / static_cast<double>(b.size()) +
                         static_cast<double>(matches - half_transpositions / 2) / m) /
                        3.0;
    if (!(jaro > 0.7)) return jaro;
    std::size_t prefix = 0;
    while (prefix < 4 && prefix < a.size() && prefix < b.size() && a[prefix] == b[prefix]) ++prefix;
    const volatile double bonus = 0.1 * static_cast<double>(prefix) * (1.0 - jaro);
    return jaro + bonus;
}

std::optional<std::string> plain_closest_match(std::string_view name,
                                               const std::vector<std::string_view>& candidates) {
    std::optional<std::string> best;
    double best_score = 0.0;
    for (const auto c : candidates) {
        const double s = plain_jaro_winkler(name, c);
        if (s >= 0.8 && (!best || s >= best_score)) best = std::string(c), best_score = s;
    }
    return best;
}

// Four ASCII names of one length scored at once agree with each scored
// alone and with the plain measure, whatever least number of matches each
// is asked for.
void check_batches_of(std::string_view name, const std::vector<std::string>& near) {
    using dag::similarity::Scorer;
    const auto a = code_points(name);
    Scorer scorer;
    scorer.set(a.data(), a.size());
    if (!scorer.batches()) return;
    for (std::size_t k = 0; k + Scorer::kBatch <= near.size(); k += Scorer::kBatch) {
        const unsigned char* texts[Scorer::kBatch];
        std::size_t need[Scorer::kBatch];
        double got[Scorer::kBatch];
        bool ascii = true;
        for (std::size_t q = 0; q < Scorer::kBatch; ++q) {
            const auto& b = near[k + q];
            for (const char c : b) ascii = ascii && static_cast<unsigned char>(c) < 0x80;
            ascii = ascii && b.size() == near[k].size();
            texts[q] = reinterpret_cast<const unsigned char*>(b.data());
            need[q] = (k / Scorer::kBatch + q * 3) % (std::min(a.size(), b.size()) + 2);
        }
        if (!ascii) return;
        scorer.jaro_batch(texts, near[k].size(), need, got);
        for (std::size_t q = 0; q < Scorer::kBatch; ++q) {
            const auto& b = near[k + q];
            FUZZ_CHECK(got[q] == scorer.jaro(texts[q], b.size(), need[q]));
            if (got[q] < 0.0) continue;
            const auto bc = code_points(b);
            const double jw = dag::similarity::winkler(
                got[q], dag::similarity::common_prefix4(a.data(), a.size(), bc.data(), bc.size()));
            FUZZ_CHECK(jw == plain_jaro_winkler(name, b));
        }
    }
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
    if (got) FUZZ_CHECK(std::find(candidates.begin(), candidates.end(), *got) != candidates.end());
    if (thorough) FUZZ_CHECK(got == plain_closest_match(name, candidates));
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

    // Names against each other as they are, and stretched past one 64-bit
    // word by repeating them (a different number of times on each side, so
    // the lengths differ too).
    using dag::similarity::jaro_winkler;
    StrList names;
    for (const auto& m : in.models) {
        names.push_back(m.name);
        for (const auto& r : m.refs) names.push_back(r);
    }
    for (const auto& a : in.available) names.push_back(a);
    if (names.size() > 12) names.resize(12);
    const auto stretch = [](const std::string& s, std::size_t times) {
        std::string out;
        for (std::size_t k = 0; k < times; ++k) out += s;
        return out;
    };
    for (std::size_t i = 0; i < names.size(); ++i) {
        for (std::size_t j = 0; j < names.size(); ++j) {
            const auto& a = names[i];
            const auto& b = names[j];
            FUZZ_CHECK(jaro_winkler(a, b) == plain_jaro_winkler(a, b));
            if (i < 3 && j < 3 && a.size() * b.size() > 0 && a.size() + b.size() < 100) {
                const auto la = stretch(a, 64 / a.size() + 1), lb = stretch(b, 56 / b.size() + 2);
                FUZZ_CHECK(jaro_winkler(la, lb) == plain_jaro_winkler(la, lb));
                FUZZ_CHECK(jaro_winkler(la, b) == plain_jaro_winkler(la, b));
            }
        }
        // The suggester's own paths for long names, against a list that holds
        // stretched names as well.
        if (i == 0) {
            std::vector<std::string> pool;
            for (std::size_t k = 0; k < names.size() && k < 4; ++k) {
                if (names[k].empty() || names[k].size() > 40) continue;
                pool.push_back(names[k]);
                pool.push_back(stretch(names[k], 64 / names[k].size() + 1));
            }
            const std::vector<std::string_view> views(pool.begin(), pool.end());
            for (const auto& q : pool)
                FUZZ_CHECK(dag::suggester::closest_match(q, views) == plain_closest_match(q, views));

            // Many candidates of one length and first character, which the
            // suggester scores in batches: the first name with neighbouring
            // characters swapped or one character replaced.
            const auto base = code_points(names[0]);
            if (base.size() >= 3 && base.size() <= 40) {
                std::vector<std::string> near;
                for (std::size_t k = 1; k + 1 < base.size(); ++k) {
                    auto swapped = base;
                    std::swap(swapped[k], swapped[k + 1]);
                    near.push_back(utf8(swapped));
                    auto replaced = base;
                    replaced[k] = replaced[k] == U'x' ? U'y' : U'x';
                    near.push_back(utf8(replaced));
                }
                const std::vector<std::string_view> near_views(near.begin(), near.end());
                for (std::size_t k = 0; k < names.size() && k < 3; ++k) {
                    FUZZ_CHECK(dag::suggester::closest_match(names[k], near_views) ==
                               plain_closest_match(names[k], near_views));
                }
                FUZZ_CHECK(dag::suggester::closest_match(near[0], near_views) ==
                           plain_closest_match(near[0], near_views));
                check_batches_of(names[names.size() - 1], near);
            }
        }
    }
    return 0;
}

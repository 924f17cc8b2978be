#include "dag/selector.hpp"

#include <algorithm>
#include <cstdint>
#include <vector>

#include "util/interrupt.hpp"

namespace tovik::dag::selector {

namespace {

// Breadth-first from the node that the index holds for name, downstream along
// outgoing edges or upstream along incoming ones. Every reached node not
// carrying the start name is passed to emit, once.
template <class F>
void walk(const Dag& dag, std::string_view name, bool downstream, F&& emit) {
    const std::uint32_t start = dag.find(name);
    if (start == END) return;
    const Graph& g = dag.graph;
    std::vector<bool> seen(g.nodes.size(), false);
    std::vector<std::uint32_t> queue{start};
    seen[start] = true;
    const auto visit = [&](std::uint32_t v) {
        if (!seen[v]) {
            seen[v] = true;
            queue.push_back(v);
        }
    };
    for (std::size_t head = 0; head < queue.size(); ++head) {
        const std::uint32_t u = queue[head];
        if (g.nodes[u].name != name) emit(g.nodes[u].name);
        std::size_t walked = 0;
        const auto step = [&](std::uint32_t v) {
            ++walked;
            visit(v);
        };
        if (downstream) {
            g.for_each_out(u, step);
        } else {
            g.for_each_in(u, step);
        }
        util::work(kVisitWork * (1 + walked));
    }
}

util::StringSet collect(const Dag& dag, std::string_view name, bool downstream) {
    util::StringSet out;
    walk(dag, name, downstream, [&](const std::string& n) { out.insert(n); });
    return out;
}

// Keeps the first occurrence of every name; the views point into the graph or
// into the pattern, both alive for the whole call.
class NameSet {
public:
    void add(std::string_view name) {
        if (seen_.insert(name).second) names_.emplace_back(name);
    }
    StrList take() { return std::move(names_); }

private:
    util::ViewSet seen_;
    StrList names_;
};

std::string_view strip_plus(std::string_view s, bool front, bool back) {
    if (front) {
        while (!s.empty() && s.front() == '+') s.remove_prefix(1);
    }
    if (back) {
        while (!s.empty() && s.back() == '+') s.remove_suffix(1);
    }
    return s;
}

StrList exact(const Dag& dag, std::string_view name) {
    if (!dag.contains(name)) return {};
    return {std::string(name)};
}

}  // namespace

util::StringSet get_descendants(const Dag& dag, std::string_view name) {
    return collect(dag, name, true);
}

util::StringSet get_ancestors(const Dag& dag, std::string_view name) {
    return collect(dag, name, false);
}

StrList select(const Dag& dag, std::string_view pattern, const TagsMap& tags_map) {
    if (pattern.empty()) return exact(dag, pattern);

    const bool plus_first = pattern.front() == '+';
    const bool plus_last = pattern.back() == '+';
    if (plus_first || plus_last) {
        const std::string_view name = strip_plus(pattern, plus_first, plus_last);
        NameSet out;
        const auto add = [&](const std::string& n) { out.add(n); };
        if (plus_first) walk(dag, name, false, add);
        out.add(name);
        if (plus_last) walk(dag, name, true, add);
        return out.take();
    }

    if (pattern.size() == 1) return exact(dag, pattern);

    if (pattern.ends_with("/*")) {
        std::string_view prefix = pattern;
        while (prefix.ends_with("/*")) prefix.remove_suffix(2);
        StrList out;
        const auto& nodes = dag.graph.nodes;
        // Each name once, at the node the index holds for it.
        for (std::uint32_t i = 0; i < nodes.size(); ++i) {
            util::work(kVisitWork);
            const std::string& name = nodes[i].name;
            if (name.starts_with(prefix) && dag.find(name) == i) out.push_back(name);
        }
        return out;
    }

    if (pattern.starts_with("tag:")) {
        const std::string_view tag = pattern.substr(4);
        StrList out;
        for (const auto& [name, tags] : tags_map) {
            util::work(kVisitWork + tags.size());
            if (std::find(tags.begin(), tags.end(), tag) == tags.end()) continue;
            if (dag.contains(name)) out.push_back(name);
        }
        return out;
    }

    return exact(dag, pattern);
}

}  // namespace tovik::dag::selector

#include "dag/validator.hpp"

#include "dag/suggester.hpp"

#include <algorithm>
#include <cstdint>

#include "util/hash.hpp"
#include "util/interrupt.hpp"

namespace tovik::dag::validator {

using suggester::CachedSuggester;

StrList find_cycle_path(const Graph& g) {
    enum : unsigned char { kNew, kOpen, kDone };
    struct Frame {
        std::uint32_t node;
        std::uint32_t next_edge;
    };
    const std::size_t n = g.nodes.size();
    std::vector<unsigned char> state(n, kNew);
    // An explicit stack: a chain of refs can be as deep as the project is large.
    std::vector<Frame> stack;
    for (std::size_t start = 0; start < n; ++start) {
        if (state[start] != kNew) continue;
        const auto s = static_cast<std::uint32_t>(start);
        state[s] = kOpen;
        stack.push_back({s, g.nodes[s].out_head});
        while (!stack.empty()) {
            util::work(kVisitWork);
            const Frame top = stack.back();
            if (top.next_edge == END) {
                state[top.node] = kDone;
                stack.pop_back();
                continue;
            }
            const Edge& e = g.edges[top.next_edge];
            stack.back().next_edge = e.next_out;
            const std::uint32_t v = e.target;
            if (state[v] == kNew) {
                state[v] = kOpen;
                stack.push_back({v, g.nodes[v].out_head});
            } else if (state[v] == kOpen) {
                const auto& target = g.nodes[v].name;
                return {target, g.nodes[top.node].name, target};
            }
        }
    }
    return {};
}

namespace {

void find_missing_refs(const Dag& dag, ModelRefs models, std::vector<ValidationError>& out) {
    std::vector<std::string_view> model_names;
    model_names.reserve(models.size());
    for (const ParsedModel* m : models) model_names.emplace_back(m->name);
    CachedSuggester ref_suggestions(std::move(model_names));
    for (const ParsedModel* m : models) {
        util::work(kVisitWork * (1 + m->refs.size()));
        for (const auto& ref : m->refs) {
            if (dag.contains(ref)) continue;
            out.push_back(ValidationError{m->name, "missing_ref", "ref('" + ref + "') not found",
                                          ref_suggestions.get(ref)});
        }
    }
}

}  // namespace

std::vector<ValidationError> validate(const Dag& dag, ModelRefs models,
                                      const StrList& available_sources, Known known) {
    std::vector<ValidationError> out;
    if (!known.refs_resolved) find_missing_refs(dag, models, out);

    // Large declarations get a set; the answer is the same as a linear scan.
    constexpr std::size_t kLinearLimit = 16;
    util::ViewSet declared;
    if (available_sources.size() > kLinearLimit) {
        declared.reserve(available_sources.size());
        for (const auto& s : available_sources) declared.insert(s);
    }
    const auto is_declared = [&](const std::string& source) {
        if (available_sources.size() > kLinearLimit) return declared.count(source) != 0;
        return std::find(available_sources.begin(), available_sources.end(), source) !=
               available_sources.end();
    };
    CachedSuggester source_suggestions(
        std::vector<std::string_view>(available_sources.begin(), available_sources.end()));
    for (const ParsedModel* m : models) {
        util::work(kVisitWork * (1 + m->sources.size()));
        for (const auto& [source, table] : m->sources) {
            if (is_declared(source)) continue;
            out.push_back(ValidationError{m->name, "missing_source",
                                          "source('" + source + "') not declared in project.yaml",
                                          source_suggestions.get(source)});
        }
    }

    StrList path = known.acyclic ? StrList{} : find_cycle_path(dag.graph);
    if (!path.empty()) {
        std::string message = "Circular dependency detected: ";
        for (std::size_t i = 0; i < path.size(); ++i) {
            if (i > 0) message += " \xE2\x86\x92 ";
            message += path[i];
        }
        out.push_back(ValidationError{std::move(path.front()), "cycle", std::move(message),
                                      "Remove one of the ref() calls to break the cycle."});
    }
    return out;
}

}  // namespace tovik::dag::validator

#include "compiler/var_keys.hpp"

namespace tovik::compiler::substitution {

using namespace replace;

namespace {

// Whether no "{{content}}" span (brace-free content) can cross an edge of v once
// v is inserted somewhere: the part of such a span inside v would be a brace-free
// run closed by "}}" or by one "}", or "{" and such a run, at v's start (or the
// mirror image at its end), or all of v.
bool value_edge_safe(std::string_view v) {
    const std::size_t first = v.find_first_of("{}");
    if (first == npos) return false;
    if (v.front() == '{') {
        const std::size_t second = v.find_first_of("{}", 1);
        if (second == npos || v[second] != '{') return false;
    } else if (v[first] != '{') {
        return false;
    }
    if (v.back() == '}') {
        const std::size_t before = v.find_last_of("{}", v.size() - 2);
        return v.size() >= 2 && before != npos && v[before] == '}';
    }
    return v[v.find_last_of("{}")] == '}';
}

}  // namespace

KeyMap::KeyMap(VarEntries entries) : e_(std::move(entries)) {
    build_index();
    for (const auto& [k, v] : e_) {
        if (replace::has_brace(k)) brace_free_ = false;
        max_content_ = std::max(max_content_, k.size() + 2);
    }
    if (brace_free_) {
        for (const auto& [k, v] : e_)
            if (k.size() >= 2 && k.front() == ' ' && k.back() == ' ' &&
                index_.count(k.substr(1, k.size() - 2)) != 0)
                padded_twin_ = true;
        edge_safe_.reserve(e_.size());
        for (const auto& [k, v] : e_) edge_safe_.push_back(value_edge_safe(v));
    }
}

void KeyMap::build_index() {
    index_.clear();
    lengths_ = 0;
    for (std::uint32_t i = 0; i < e_.size(); ++i) {
        index_.emplace(e_[i].first, i);
        lengths_ |= length_bit(e_[i].first.size());
    }
    cache_valid_ = false;
}

void KeyMap::find_inner() {
    inner_.assign(e_.size(), {});
    for (std::uint32_t i = 0; i < e_.size(); ++i) {
        if (e_[i].second.find("{{") == npos) continue;
        SpotCursor c(e_[i].second, max_content_);
        while (c.next()) {
            const KeyHit h = keys_of(c.content);
            if (h.plain >= 0) inner_[i].push_back({static_cast<std::uint32_t>(h.plain), false});
            if (h.spaced >= 0) inner_[i].push_back({static_cast<std::uint32_t>(h.spaced), true});
        }
    }
    inner_done_ = true;
}

// Kahn's order over "value of i holds a placeholder of j": j comes first. Keys
// on a cycle go last, in their previous order; passes that need them run
// sequentially.
void KeyMap::dependency_order() {
    const std::size_t n = e_.size();
    std::vector<std::vector<std::uint32_t>> users(n);
    std::vector<std::uint32_t> indeg(n, 0);
    bool any = false;
    for (std::uint32_t i = 0; i < n; ++i)
        for (const auto& r : inner_[i])
            if (r.key != i) {
                users[r.key].push_back(i);
                ++indeg[i];
                any = true;
            }
    if (!any) return;
    std::vector<std::uint32_t> order;
    order.reserve(n);
    for (std::uint32_t i = 0; i < n; ++i)
        if (indeg[i] == 0) order.push_back(i);
    for (std::size_t head = 0; head < order.size(); ++head)
        for (auto u : users[order[head]])
            if (--indeg[u] == 0) order.push_back(u);
    for (std::uint32_t i = 0; i < n; ++i)
        if (indeg[i] != 0) order.push_back(i);

    std::vector<std::uint32_t> pos(n);
    for (std::uint32_t p = 0; p < n; ++p) pos[order[p]] = p;
    VarEntries e(n);
    std::vector<std::vector<InnerRef>> inner(n);
    std::vector<char> edge_safe(edge_safe_.size());
    for (std::uint32_t p = 0; p < n; ++p) {
        e[p] = e_[order[p]];
        inner[p] = std::move(inner_[order[p]]);
        for (auto& r : inner[p]) r.key = pos[r.key];
        if (!edge_safe.empty()) edge_safe[p] = edge_safe_[order[p]];
    }
    e_ = std::move(e);
    inner_ = std::move(inner);
    edge_safe_ = std::move(edge_safe);
    build_index();
}

const std::vector<std::pair<std::string, std::string>>& KeyMap::forms() {
    if (forms_.empty() && !e_.empty()) {
        forms_.reserve(e_.size());
        for (const auto& [k, v] : e_)
            forms_.emplace_back(concat({"{{ ", k, " }}"}), concat({"{{", k, "}}"}));
    }
    return forms_;
}

}  // namespace tovik::compiler::substitution

#include "compiler/runaway.hpp"

#include <algorithm>

#include "compiler/scanner.hpp"
#include "errors/error.hpp"
#include "util/interrupt.hpp"

namespace tovik::compiler::substitution {

using namespace replace;

// A value holding placeholders can make the text grow on every pass,
// exponentially when a placeholder comes back twice, and the pass limit may be as
// high as 2^64 - 1. The outcome is still that of the full run, or MemoryError:
//  - a pass whose text equals an earlier pass's text makes the rest periodic; the
//    passes jump ahead to the text that the last pass would leave (Brent's cycle
//    search, one saved text);
//  - no replacement may leave a text longer than the size bound, and the passes
//    may scan and build at most the work bound;
//  - once the run grows heavy, and again when a bound is hit, the outcome may be
//    proven without the full run, in one of two ways:
//     - prefix: the passes are followed on a prefix of the text, cut back after
//       every replacement to the part that cannot differ from the full run's
//       (an occurrence may start in the last bytes and run past the end). A
//       leftover placeholder within the final prefix is the full run's
//       leftmost one: a match that starts further left cannot reach past it.
//     - one name: all keys brace-free, and the text holds a placeholder of a key
//       in the largest set C of \w+ keys (none equal to another padded with a
//       space on each side) whose values each hold a placeholder of a key in C:
//       such a placeholder is only ever replaced by a value bringing another
//       one, so the run ends in UnresolvedVariable. When no span "{{...}}" can
//       cross an edge of any value that can still be inserted, every leftover
//       placeholder of any later text stands in the text or in such a value;
//       if all of those spell one name, that is the error.
//    Otherwise the bound is reported as SizeLimitExceeded.

namespace {

// Whether "{{ k }}" is a placeholder whose name is k: k is one \w+ word.
bool word_name(std::string_view k) {
    const std::string spaced = concat({"{{ ", k, " }}"});
    const auto hit = scanner::first_var(spaced);
    return hit && hit->match == scanner::Span{0, spaced.size()} && hit->group[0].of(spaced) == k;
}

}  // namespace

// The outcome of running `remaining` more passes on `text`, when one of the
// proofs above decides it. Costs a fraction of the work done so far.
std::optional<std::string> Runaway::prove(const std::string& text, std::uint64_t remaining) {
    if (!keys_.brace_free()) return std::nullopt;
    if (auto name = one_name(text)) return name;
    // At most a quarter of what the passes may do, so that the proofs cannot
    // make a call run much longer than its passes could.
    const std::uint64_t budget = std::min<std::uint64_t>(
        std::max<std::uint64_t>(work_ / 2, std::uint64_t{window_} * 64),
        std::max<std::uint64_t>(work_bound_ / 4, 1));
    const std::size_t window = std::min<std::size_t>(
        std::max<std::size_t>(window_, static_cast<std::size_t>(work_ >> 12)),
        std::size_t{16} << 20);
    return prefix_leftover(text, remaining, window, budget);
}

// The set C of the rules above, as a flag per key.
std::vector<char> Runaway::closed_set() {
    if (!keys_.inner_found()) keys_.find_inner();
    const VarEntries& entries = keys_.entries();
    const auto& inner = keys_.inner();
    const std::size_t n = entries.size();
    std::vector<char> in(n, 0);
    for (std::size_t k = 0; k < n; ++k) {
        const std::string_view name = entries[k].first;
        in[k] = word_name(name) && !keys_.has_key(concat({" ", name, " "}));
    }
    std::vector<std::uint32_t> count(n, 0);
    std::vector<std::vector<std::uint32_t>> users(n);
    for (std::uint32_t k = 0; k < n; ++k) {
        if (!in[k]) continue;
        for (const auto& r : inner[k])
            if (in[r.key]) {
                ++count[k];
                users[r.key].push_back(k);
            }
    }
    std::vector<std::uint32_t> dropped;
    for (std::uint32_t k = 0; k < n; ++k)
        if (in[k] && count[k] == 0) {
            in[k] = 0;
            dropped.push_back(k);
        }
    while (!dropped.empty()) {
        const auto j = dropped.back();
        dropped.pop_back();
        for (auto k : users[j])
            if (in[k] && --count[k] == 0) {
                in[k] = 0;
                dropped.push_back(k);
            }
    }
    return in;
}

// The "one name" proof: the error is certain, and every leftover placeholder
// that any later text can hold spells the same name.
std::optional<std::string> Runaway::one_name(const std::string& text) {
    const std::vector<char> in = closed_set();
    const VarEntries& entries = keys_.entries();
    const auto& inner = keys_.inner();
    std::vector<char> reach(entries.size(), 0);
    std::vector<std::uint32_t> todo;
    bool certain = false;
    auto visit = [&](std::int64_t k) {
        if (k < 0) return;
        const auto i = static_cast<std::uint32_t>(k);
        certain = certain || in[i];
        if (!reach[i]) {
            reach[i] = 1;
            todo.push_back(i);
        }
    };
    work_ += text.size();
    SpotCursor c(text, keys_.max_content());
    while (c.next()) {
        const KeyHit h = keys_.keys_of(c.content);
        visit(h.plain);
        visit(h.spaced);
    }
    work_ += kStopWork * c.stops;
    if (!certain) return std::nullopt;
    while (!todo.empty()) {
        const auto i = todo.back();
        todo.pop_back();
        if (!keys_.edge_safe(i)) return std::nullopt;
        for (const auto& r : inner[i]) visit(r.key);
    }
    std::optional<std::string> name;
    bool uniform = true;
    auto names_in = [&](std::string_view s) {
        scanner::Hit hit;
        std::size_t polled = 0;
        for (scanner::Cursor cursor(s); cursor.next(hit);) {
            util::work(hit.match.end - polled);
            polled = hit.match.end;
            if (hit.form != scanner::Form::Var) continue;
            const std::string_view found = hit.group[0].of(s);
            if (!name) name.emplace(found);
            uniform = uniform && *name == found;
        }
    };
    work_ += text.size();
    names_in(text);
    for (std::uint32_t i = 0; i < entries.size() && uniform; ++i)
        if (reach[i]) names_in(entries[i].second);
    if (!uniform) return std::nullopt;
    return name;
}

// Whether w[p..] could be the start of a "{{content}}" span, with brace-free
// content of at most keys_.max_content() bytes, that does not end within w.
bool Runaway::open_span_at(std::string_view w, std::size_t p) const {
    const std::size_t n = w.size();
    if (w[p] != '{') return false;
    if (p + 1 == n) return true;
    if (w[p + 1] != '{') return false;
    std::size_t j = p + 2;
    while (j < n && w[j] != '{' && w[j] != '}') ++j;
    if (j - (p + 2) > keys_.max_content()) return false;
    return j == n || (w[j] == '}' && j + 1 == n);
}

// Cuts w back until no written form of a key can begin in it and run past its
// end. Whether that holds depends on w alone, so a w cut this way stays a
// prefix of the full run's text through every replacement, whatever follows.
void Runaway::close_prefix(std::string& w) const {
    for (;;) {
        const std::size_t last = w.find_last_of('{');
        if (last == npos) return;
        std::size_t cut = npos;
        if (last > 0 && open_span_at(w, last - 1))
            cut = last - 1;
        else if (open_span_at(w, last))
            cut = last;
        if (cut == npos) return;
        w.resize(cut);
    }
}

// replace_all into `out`, building no more than `keep` bytes of the result.
bool Runaway::replace_prefix(std::string& w, std::string_view pat, std::string_view rep,
                                 std::size_t keep, std::string& out) {
    const Finder finder(pat);
    std::size_t pos = finder.find(w, 0);
    if (pos == npos) return false;
    out.clear();
    std::size_t from = 0;
    while (pos != npos && out.size() < keep) {
        out.append(w, from, pos - from);
        out.append(rep.substr(0, std::min(rep.size(), keep - std::min(keep, out.size()))));
        from = pos + pat.size();
        pos = finder.find(w, from);
    }
    if (out.size() < keep) out.append(w, from, keep - out.size());
    if (out.size() > keep) out.resize(keep);
    w.swap(out);
    return true;
}

// The "prefix" proof: the passes followed on at most `window` leading bytes.
std::optional<std::string> Runaway::prefix_leftover(std::string_view text,
                                                        std::uint64_t remaining,
                                                        std::size_t window,
                                                        std::uint64_t budget) {
    const VarEntries& entries = keys_.entries();
    const auto& forms = keys_.forms();
    std::string w(text.substr(0, std::min(window, text.size())));
    close_prefix(w);
    std::string out;
    PeriodFinder period;
    std::uint64_t done = 0, spent = 0;
    std::vector<char> spaced(entries.size()), plain(entries.size());
    auto mark = [&] {
        std::fill(spaced.begin(), spaced.end(), 0);
        std::fill(plain.begin(), plain.end(), 0);
        spent += w.size() + entries.size();
        util::work(w.size() + entries.size());
        SpotCursor c(w, keys_.max_content());
        while (c.next()) {
            const KeyHit h = keys_.keys_of(c.content);
            if (h.plain >= 0) plain[static_cast<std::size_t>(h.plain)] = 1;
            if (h.spaced >= 0) spaced[static_cast<std::size_t>(h.spaced)] = 1;
        }
        spent += kStopWork * c.stops;
    };
    while (done < remaining) {
        mark();
        for (std::uint32_t i = 0; i < entries.size(); ++i) {
            if (!spaced[i] && !plain[i]) continue;
            spent += 2 * w.size();
            util::work(2 * w.size());
            bool changed = spaced[i] && replace_prefix(w, forms[i].first, entries[i].second,
                                                       window, out);
            changed = replace_prefix(w, forms[i].second, entries[i].second, window, out) ||
                      changed;
            if (changed) {
                close_prefix(w);
                mark();
            }
            // A pass that overspends gives up at its end anyway.
            if (spent > budget) return std::nullopt;
        }
        ++done;
        if (spent > budget) return std::nullopt;
        period.see(w, done, remaining, spent);
    }
    if (const auto hit = scanner::first_var(w)) return std::string(hit->group[0].of(w));
    return std::nullopt;
}

}  // namespace tovik::compiler::substitution

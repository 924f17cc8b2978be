#include "compiler/resolver.hpp"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <unordered_map>

#include <sys/resource.h>
#include <unistd.h>

#include "util/regex.hpp"
#include "util/text.hpp"

namespace tovik::compiler::resolver {

namespace {

using detail::VarEntries;
constexpr auto npos = std::string_view::npos;

const re::Pattern& leftover_pattern() {
    static const re::Pattern p("\\{\\{" TOVIK_RE_SPACE "*+(" TOVIK_RE_WORD "++)" TOVIK_RE_SPACE
                               "*+\\}\\}");
    return p;
}

bool is_quote(unsigned char c) { return c == '\'' || c == '"'; }

// A byte that may belong to a \w character: the ASCII word bytes and every byte
// of a multi-byte character. Over-approximating \w is all the checks below need.
bool nameish(unsigned char c) {
    return c >= 0x80 || (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') ||
           (c >= 'a' && c <= 'z') || c == '_';
}

bool nameish_all(std::string_view s) {
    return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) {
        return nameish(static_cast<unsigned char>(c));
    });
}

// Equality without a library call for the short texts compared per spot.
bool same_bytes(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    if (a.size() > 16) return std::memcmp(a.data(), b.data(), a.size()) == 0;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (a[i] != b[i]) return false;
    return true;
}

bool has_paren(std::string_view s) { return s.find_first_of("()") != npos; }

// memchr, with a short inline probe first: in brace-dense text the next
// candidate is usually a few bytes away and the call would cost more.
const char* find_byte(const char* p, char c, std::size_t n) {
    const std::size_t probe = n < 16 ? n : 16;
    for (std::size_t i = 0; i < probe; ++i)
        if (p[i] == c) return p + i;
    if (probe == n) return nullptr;
    return static_cast<const char*>(std::memchr(p + probe, c, n - probe));
}

std::size_t find_in(std::string_view hay, std::string_view needle, std::size_t from) {
    if (from > hay.size() || needle.size() > hay.size() - from) return npos;
    const void* p = ::memmem(hay.data() + from, hay.size() - from, needle.data(), needle.size());
    return p == nullptr ? npos : static_cast<std::size_t>(static_cast<const char*>(p) - hay.data());
}

// Repeated searches for one needle. glibc's memmem sets up tables on every call,
// which dominates when occurrences are close together, as placeholders are in a
// text that substitution keeps growing. For a needle led by a brace (rare in SQL)
// a first-byte scan is used instead; it is linear too when that byte occurs in
// the needle only in a leading run of at most two (a partial match then never
// hides another candidate start).
class Finder {
public:
    explicit Finder(std::string_view needle) : needle_(needle) {
        if (needle_.empty() || (needle_[0] != '{' && needle_[0] != '}')) return;
        std::size_t run = 1;
        while (run < needle_.size() && needle_[run] == needle_[0]) ++run;
        simple_ = run <= 2 && needle_.find(needle_[0], run) == npos;
    }

    std::size_t find(std::string_view hay, std::size_t from) const {
        if (!simple_) return find_in(hay, needle_, from);
        const std::size_t m = needle_.size();
        while (from <= hay.size() && hay.size() - from >= m) {
            const char* p = find_byte(hay.data() + from, needle_[0], hay.size() - from - m + 1);
            if (p == nullptr) return npos;
            const auto i = static_cast<std::size_t>(p - hay.data());
            if (equal_at(hay.data() + i)) return i;
            from = i + 1;
        }
        return npos;
    }

private:
    bool equal_at(const char* p) const {
        const std::size_t m = needle_.size();
        if (m > 16) return std::memcmp(p, needle_.data(), m) == 0;
        for (std::size_t k = 1; k < m; ++k)
            if (p[k] != needle_[k]) return false;
        return true;
    }

    std::string_view needle_;
    bool simple_ = false;
};

void append_all(std::string& out, std::initializer_list<std::string_view> parts) {
    std::size_t n = out.size();
    for (auto p : parts) n += p.size();
    if (n > out.capacity()) out.reserve(std::max(n, 2 * out.capacity()));
    for (auto p : parts) out.append(p);
}

std::string concat(std::initializer_list<std::string_view> parts) {
    std::string out;
    append_all(out, parts);
    return out;
}

// Replace-all as the rewriting steps define it: occurrences are found left to
// right in the text as it stands, and inserted text is not searched again.
// Returns false, leaving `text` untouched, when the pattern does not occur, or
// when the result would grow past `limit` (then *over is set).
bool replace_all(std::string& text, std::string_view pat, std::string_view rep,
                 std::size_t limit = std::numeric_limits<std::size_t>::max(),
                 bool* over = nullptr) {
    const Finder finder(pat);
    std::size_t pos = finder.find(text, 0);
    if (pos == npos) return false;
    std::size_t size = text.size();
    const std::size_t growth = rep.size() > pat.size() ? rep.size() - pat.size() : 0;
    if (growth > 0 && text.size() / pat.size() > (limit - std::min(limit, text.size())) / growth) {
        // The result might pass the limit: count first, so that it is never built.
        for (std::size_t p = pos; p != npos; p = finder.find(text, p + pat.size())) {
            size += rep.size() - pat.size();
            if (size > limit) {
                if (over != nullptr) *over = true;
                return false;
            }
        }
    }
    std::string out;
    out.reserve(size);
    std::size_t from = 0;
    while (pos != npos) {
        out.append(text, from, pos - from);
        out.append(rep);
        from = pos + pat.size();
        pos = finder.find(text, from);
    }
    out.append(text, from, npos);
    text = std::move(out);
    return true;
}

[[noreturn]] void refuse_rewrite(std::size_t bound) {
    throw SizeLimitExceeded("rewriting references would exceed " + std::to_string(bound) +
                            " bytes");
}

// One replacement of a rewriting step; a result past `bound` is refused.
bool replace_bounded(std::string& text, std::string_view pat, std::string_view rep,
                     std::size_t bound) {
    bool over = false;
    const bool changed = replace_all(text, pat, rep, bound, &over);
    if (over) refuse_rewrite(bound);
    return changed;
}

// A one-scan rewrite stands for a sequence of replacements; no text in that
// sequence exceeds the original plus every growing replacement. Past the bound
// the sequential path decides, step by step, whether one really does.
bool fits(std::size_t size, std::size_t growth, std::size_t bound) {
    return size <= bound && growth <= bound - size;
}

// Sequential rewriting of written forms, one name (or pair) at a time. A name
// listed again does nothing unless a step since its last turn may have brought
// its forms back, so each name remembers the text version that it left free of
// its forms: with thousands of duplicates over a text of hundreds of megabytes,
// two full scans per duplicate would take hours.
class FormRewriter {
public:
    FormRewriter(std::string& text, std::size_t bound) : text_(text), bound_(bound) {}

    template <typename Key>
    void count(const Key& key) { ++left_[key_of(key)]; }

    template <typename Key>
    void rewrite(const Key& key, const std::string& form1, const std::string& form2,
                 std::string_view rep) {
        const std::string k = key_of(key);
        auto& left = left_[k];
        --left;
        auto clean = clean_at_.find(k);
        if (clean != clean_at_.end() && clean->second == version_) return;
        bool changed = replace_bounded(text_, form1, rep, bound_);
        changed = replace_bounded(text_, form2, rep, bound_) || changed;
        if (changed) {
            ++version_;
            // Only worth knowing when the name comes again.
            if (left == 0 || text_.find(form1) != npos || text_.find(form2) != npos) return;
        }
        clean_at_[k] = version_;
    }

private:
    static std::string key_of(const std::string& n) { return n; }
    static std::string key_of(const StrPair& p) {
        return concat({std::to_string(p.first.size()), ":", p.first, p.second});
    }

    std::string& text_;
    std::size_t bound_;
    std::uint64_t version_ = 0;
    std::unordered_map<std::string, std::uint64_t> clean_at_;
    std::unordered_map<std::string, std::size_t> left_;
};

struct Hit {
    std::size_t start, end;
    std::size_t rep;  // index into the replacement list
};

// The spliced text, or none when a replacement sequence it stands for could
// pass `bound` (the sequential path then decides).
std::optional<std::string> splice(const std::string& text, const std::vector<Hit>& hits,
                                  const std::vector<std::string>& reps, std::size_t bound) {
    std::size_t size = text.size(), growth = 0;
    for (const auto& h : hits) {
        const std::size_t len = h.end - h.start, rep = reps[h.rep].size();
        size = size - len + rep;
        if (rep > len) growth += rep - len;
    }
    if (!fits(text.size(), growth, bound)) return std::nullopt;
    std::string out;
    out.reserve(size);
    std::size_t from = 0;
    for (const auto& h : hits) {
        out.append(text, from, h.start - from);
        out.append(reps[h.rep]);
        from = h.end;
    }
    out.append(text, from, npos);
    return out;
}

// ---- refs ------------------------------------------------------------------

// End of the quoted name that starts at `from`: the quote q after a run of at most
// max_len word bytes, or npos. Runs of word bytes never hold a keyword's "(", so
// the runs scanned for different candidates do not overlap.
std::size_t quoted_name_end(std::string_view text, std::size_t from, char q, std::size_t max_len) {
    const std::size_t lim = std::min(text.size(), from + max_len);
    std::size_t j = from;
    while (j < lim && nameish(static_cast<unsigned char>(text[j]))) ++j;
    return j < text.size() && text[j] == q ? j : npos;
}

std::string ref_form(char q, std::string_view name) {
    return concat({"ref(", std::string_view(&q, 1), name, std::string_view(&q, 1), ")"});
}

std::string rewrite_refs_sequential(std::string text, std::string_view schema,
                                    const StrList& other, const StrList& ephemeral,
                                    std::size_t bound) {
    FormRewriter rw(text, bound);
    for (const auto& n : other) rw.count(n);
    for (const auto& n : ephemeral) rw.count(n);
    for (const auto& n : other) rw.rewrite(n, ref_form('\'', n), ref_form('"', n), concat({schema, ".", n}));
    for (const auto& n : ephemeral) rw.rewrite(n, ref_form('\'', n), ref_form('"', n), n);
    return text;
}

// All ref forms replaced in one scan. The written forms of distinct names never
// overlap, so the one scan equals the sequential steps unless some step creates
// an occurrence that was not in the text before. With names made of word bytes
// only and replacements free of parentheses, a new occurrence must take a
// replacement's bytes either as (part of) its "ref" keyword -- the replacement
// then ends in r, e or f and the next byte continues "ref(" -- or, for a bare
// ephemeral name, as part of the quoted name, with a quote or word byte on both
// sides. A schema-qualified replacement holds a "." and can never sit in a name.
// Any occurrence with such a neighbourhood sends the whole step down the
// sequential path.
std::optional<std::string> rewrite_refs_fast(const std::string& text, std::string_view schema,
                                             const StrList& other, const StrList& ephemeral,
                                             std::size_t bound) {
    if (!other.empty() && has_paren(schema)) return std::nullopt;
    std::unordered_map<std::string_view, std::size_t> index;
    std::vector<std::string> reps;
    std::vector<bool> bare;
    std::size_t max_len = 0;
    auto add = [&](const std::string& n, bool is_bare) {
        if (!nameish_all(n)) return false;
        max_len = std::max(max_len, n.size());
        // A name listed again, even in the other list, keeps its first rewrite.
        if (index.emplace(n, reps.size()).second) {
            reps.push_back(is_bare ? n : concat({schema, ".", n}));
            bare.push_back(is_bare);
        }
        return true;
    };
    for (const auto& n : other)
        if (!add(n, false)) return std::nullopt;
    for (const auto& n : ephemeral)
        if (!add(n, true)) return std::nullopt;

    const std::size_t n = text.size();
    const Finder keyword("ref(");
    std::vector<Hit> hits;
    std::size_t pos = 0;
    for (std::size_t p; (p = keyword.find(text, pos)) != npos;) {
        pos = p + 1;
        const std::size_t q = p + 4;
        if (q >= n || !is_quote(text[q])) continue;
        const std::size_t close = quoted_name_end(text, q + 1, text[q], max_len);
        if (close == npos || close + 1 >= n || text[close + 1] != ')') continue;
        const auto it = index.find(std::string_view(text).substr(q + 1, close - q - 1));
        if (it == index.end()) continue;
        hits.push_back({p, close + 2, it->second});
        pos = close + 2;
    }
    if (hits.empty()) return text;

    auto keyword_byte = [](unsigned char c) { return c == 'r' || c == 'e' || c == 'f'; };
    for (std::size_t k = 0; k < hits.size(); ++k) {
        const auto& h = hits[k];
        const auto last = static_cast<unsigned char>(reps[h.rep].back());
        const int next = h.end < n ? static_cast<unsigned char>(text[h.end]) : -1;
        if (keyword_byte(last) && next >= 0 && (keyword_byte(next) || next == '('))
            return std::nullopt;
        if (bare[h.rep]) {
            const bool before =
                (h.start > 0 && (is_quote(text[h.start - 1]) ||
                                 nameish(static_cast<unsigned char>(text[h.start - 1])))) ||
                (k > 0 && hits[k - 1].end == h.start);
            const bool after = next >= 0 && (is_quote(next) || nameish(next));
            if (before && after) return std::nullopt;
        }
    }
    return splice(text, hits, reps, bound);
}

// ---- sources ---------------------------------------------------------------

std::string source_replacement(const SourceInfo& info, std::string_view table) {
    if (info.database.empty()) return concat({info.schema, ".", table});
    return concat({info.database, ".", info.schema, ".", table});
}

std::string source_form(char q, std::string_view s, std::string_view t) {
    const std::string_view qs(&q, 1);
    return concat({"source(", qs, s, qs, ", ", qs, t, qs, ")"});
}

std::string rewrite_sources_sequential(std::string text, const StrPairList& pairs,
                                       const SourceMap& sources, std::size_t bound) {
    FormRewriter rw(text, bound);
    for (const auto& p : pairs) rw.count(p);
    for (const auto& p : pairs) {
        const auto& [s, t] = p;
        rw.rewrite(p, source_form('\'', s, t), source_form('"', s, t),
                   source_replacement(sources.at(s), t));
    }
    return text;
}

struct PairHash {
    std::size_t operator()(const std::pair<std::string_view, std::string_view>& p) const {
        const std::hash<std::string_view> h;
        return h(p.first) * 0x9E3779B97F4A7C15ull ^ h(p.second);
    }
};

// One scan for all source forms, on the same reasoning as the refs: every
// replacement holds a "." and no parenthesis, so it can only ever become part of
// a new "source" keyword.
std::optional<std::string> rewrite_sources_fast(const std::string& text, const StrPairList& pairs,
                                                const SourceMap& sources, std::size_t bound) {
    std::unordered_map<std::pair<std::string_view, std::string_view>, std::size_t, PairHash> index;
    std::vector<std::string> reps;
    std::size_t max_s = 0, max_t = 0;
    for (const auto& [s, t] : pairs) {
        if (!nameish_all(s) || !nameish_all(t)) return std::nullopt;
        const auto& info = sources.at(s);
        if (has_paren(info.database) || has_paren(info.schema)) return std::nullopt;
        max_s = std::max(max_s, s.size());
        max_t = std::max(max_t, t.size());
        if (index.emplace(std::pair<std::string_view, std::string_view>(s, t), reps.size()).second)
            reps.push_back(source_replacement(info, t));
    }

    const std::size_t n = text.size();
    const std::string_view view(text);
    const Finder keyword("source(");
    std::vector<Hit> hits;
    std::size_t pos = 0;
    for (std::size_t p; (p = keyword.find(text, pos)) != npos;) {
        pos = p + 1;
        const std::size_t q1 = p + 7;
        if (q1 >= n || !is_quote(text[q1])) continue;
        const char q = text[q1];
        const std::size_t c1 = quoted_name_end(view, q1 + 1, q, max_s);
        if (c1 == npos || view.substr(c1 + 1, 2) != std::string_view(", ") ||
            c1 + 3 >= n || text[c1 + 3] != q)
            continue;
        const std::size_t c2 = quoted_name_end(view, c1 + 4, q, max_t);
        if (c2 == npos || c2 + 1 >= n || text[c2 + 1] != ')') continue;
        const auto it = index.find({view.substr(q1 + 1, c1 - q1 - 1), view.substr(c1 + 4, c2 - c1 - 4)});
        if (it == index.end()) continue;
        hits.push_back({p, c2 + 2, it->second});
        pos = c2 + 2;
    }
    if (hits.empty()) return text;

    auto keyword_byte = [](unsigned char c) {
        return c == 's' || c == 'o' || c == 'u' || c == 'r' || c == 'c' || c == 'e';
    };
    for (const auto& h : hits) {
        const auto last = static_cast<unsigned char>(reps[h.rep].back());
        if (h.end < n && keyword_byte(last)) {
            const auto next = static_cast<unsigned char>(text[h.end]);
            if (keyword_byte(next) || next == '(') return std::nullopt;
        }
    }
    return splice(text, hits, reps, bound);
}

// ---- variables -------------------------------------------------------------
//
// The passes are computed exactly as the sequential definition gives them for one
// fixed order of the substitution map. With brace-free keys every occurrence of a
// key's written form is a "spot": two opening braces, a brace-free content, two
// closing braces; spots never overlap, and replacing one leaves every other spot
// intact. A pass can then be done as one splice of all key spots of its starting
// text, provided nothing the pass inserts is picked up again later in the pass:
//  - the map order puts every key after the keys whose placeholders its value holds
//    (a value holding its own placeholder is fine, except the brace-less form
//    when the text holds the spaced one, which the same key's second replacement
//    would catch);
//  - no key spot of the result crosses the edge of an inserted value (one would be
//    formed by the insertion itself, and it shows in the result just as in the
//    intermediate texts).
// A pass that fails these checks runs sequentially, and so does every pass when a
// key holds a brace or a key equals another one padded with a space on each side.
//
// Runaway maps. A value holding placeholders can make the text grow on every pass,
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

// Walks the "{{content}}" spans of a text whose content is brace-free and at most
// max_content bytes long, left to right.
class SpotCursor {
public:
    SpotCursor(std::string_view s, std::size_t max_content) : s_(s), max_(max_content) {}

    bool next() {
        const std::size_t n = s_.size();
        while (i_ + 1 < n) {
            const char* hit = find_byte(s_.data() + i_, '{', n - i_);
            if (hit == nullptr) break;
            const auto a = static_cast<std::size_t>(hit - s_.data());
            if (a + 1 >= n) break;
            if (s_[a + 1] != '{') {
                i_ = a + 2;
                continue;
            }
            const std::size_t c = a + 2;
            const std::size_t stop = std::min(n, c + max_ + 1);
            std::size_t j = c;
            while (j < stop && s_[j] != '{' && s_[j] != '}') ++j;
            if (j + 1 < n && s_[j] == '}' && s_[j + 1] == '}' && j - c <= max_) {
                start = a;
                end = j + 2;
                content = std::string_view(s_.data() + c, j - c);
                i_ = j + 2;
                return true;
            }
            i_ = a + 1;
        }
        i_ = n;
        return false;
    }

    std::size_t start = 0, end = 0;
    std::string_view content;

private:
    std::string_view s_;
    std::size_t max_;
    std::size_t i_ = 0;
};

// Whether no "{{content}}" span (brace-free content) can cross an edge of v once
// v is inserted somewhere: the part of such a span inside v would be a brace-free
// run closed by "}}" or by one "}", or "{" and such a run, at v's start (or the
// mirror image at its end), or all of v.
bool edge_safe(std::string_view v) {
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

struct InnerRef {
    std::uint32_t key;
    bool spaced;
};

class Substituter {
public:
    Substituter(VarEntries entries, std::string_view model_name, bool allow_fast, bool reorder,
                const detail::Limits& limits)
        : e_(std::move(entries)), model_(model_name), limits_(limits) {
        build_index();
        for (const auto& [k, v] : e_) {
            if (k.find_first_of("{}") != npos) brace_free_ = false;
            max_content_ = std::max(max_content_, k.size() + 2);
        }
        if (brace_free_) {
            for (const auto& [k, v] : e_)
                if (k.size() >= 2 && k.front() == ' ' && k.back() == ' ' &&
                    index_.count(k.substr(1, k.size() - 2)) != 0)
                    conflict_ = true;
        }
        fast_ = allow_fast && brace_free_ && !conflict_;
        if (fast_) {
            compute_inner();
            if (reorder) dependency_order();
            ok_.assign(e_.size(), 1);
            unspaced_self_.assign(e_.size(), 0);
            inner_growth_.assign(e_.size(), 0);
            for (std::uint32_t i = 0; i < inner_.size(); ++i)
                for (const auto& r : inner_[i]) {
                    if (r.key > i || (r.key == i && !r.spaced)) ok_[i] = 0;
                    if (r.key == i && !r.spaced) unspaced_self_[i] = 1;
                    inner_growth_[i] += static_cast<std::int64_t>(e_[r.key].second.size()) -
                                        static_cast<std::int64_t>(e_[r.key].first.size() + 4 +
                                                                  (r.spaced ? 2 : 0));
                }
        }
        if (brace_free_) {
            edge_safe_.reserve(e_.size());
            for (const auto& [k, v] : e_) edge_safe_.push_back(edge_safe(v));
        }
        stamp_plain_.assign(e_.size(), 0);
        stamp_spaced_.assign(e_.size(), 0);
    }

    detail::SubstitutionRun run(std::string& text, std::uint64_t limit) {
        detail::SubstitutionRun res;
        res.order = e_;
        bound_ = limits_.size;
        next_try_ = limits_.first_try;
        if (brace_free_) mark_present(text);

        std::uint64_t passes = 0;
        std::string checkpoint;
        bool have_checkpoint = false;
        std::uint64_t checkpoint_at = 0, power = 1;
        while (passes < limit) {
            if (brace_free_ && !has_spots_) {
                ++passes;  // this pass would change nothing
                break;
            }
            const Step st = step(text);
            if (st == Step::Over) return give_up(text, limit - passes, passes, res);
            ++passes;
            if (st == Step::Same) break;
            if (work_ > limits_.work) return give_up(text, limit - passes, passes, res);
            if (brace_free_ && !has_spots_) continue;  // the loop head ends it
            if (!have_checkpoint) {
                checkpoint = text;
                checkpoint_at = passes;
                have_checkpoint = true;
            } else if (text == checkpoint) {
                // Periodic from here on: only the passes short of whole periods remain.
                limit = passes + (limit - passes) % (passes - checkpoint_at);
                have_checkpoint = false;
                power = 1;
                continue;
            } else if (passes - checkpoint_at == power) {
                checkpoint = text;
                checkpoint_at = passes;
                power *= 2;
            }
            if (work_ >= next_try_ && passes < limit) {
                if (auto name = prove(text, limit - passes)) return decided(res, passes, *name);
                next_try_ = std::max(next_try_, work_) * 4;
            }
        }
        res.passes = passes;
        return res;
    }

private:
    enum class Step { Changed, Same, Over };

    // The keys whose written form a spot's content spells: the content itself
    // (brace-less form) and the content without its padding spaces (spaced form).
    struct KeyHit {
        std::int64_t plain = -1, spaced = -1;
        bool any() const { return plain >= 0 || spaced >= 0; }
    };

    void build_index() {
        index_.clear();
        for (std::uint32_t i = 0; i < e_.size(); ++i) index_.emplace(e_[i].first, i);
        cache_valid_ = false;
    }

    // Runs of one placeholder are common, so the last answer is kept.
    KeyHit keys_of(std::string_view content) {
        if (cache_valid_ && same_bytes(content, cache_content_)) return cache_hit_;
        KeyHit h;
        if (auto it = index_.find(content); it != index_.end()) h.plain = it->second;
        if (content.size() >= 2 && content.front() == ' ' && content.back() == ' ')
            if (auto it = index_.find(content.substr(1, content.size() - 2)); it != index_.end())
                h.spaced = it->second;
        cache_content_.assign(content);
        cache_hit_ = h;
        cache_valid_ = true;
        return h;
    }

    void compute_inner() {
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
    void dependency_order() {
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
        for (std::uint32_t p = 0; p < n; ++p) {
            e[p] = e_[order[p]];
            inner[p] = std::move(inner_[order[p]]);
            for (auto& r : inner[p]) r.key = pos[r.key];
        }
        e_ = std::move(e);
        inner_ = std::move(inner);
        build_index();
    }

    Step step(std::string& text) {
        if (!(fast_ && fast_pass(text))) {
            next_size_ = 0;
            next_ = text;
            if (!sequential_pass(next_)) return Step::Over;
        }
        if (next_ == text) return Step::Same;
        text.swap(next_);
        return Step::Changed;
    }

    // One pass as a single splice into next_; false when the pass has to run
    // sequentially (which also decides a size bound exactly).
    bool fast_pass(const std::string& text) {
        if (next_size_ > bound_) return false;
        next_.clear();
        next_.reserve(next_size_ != 0 ? next_size_ : text.size());
        next_size_ = 0;
        SpotCursor tc(text, max_content_);
        std::size_t from = 0;
        bool all_edge_safe = true, inner_spots = false;
        std::int64_t growth = 0;
        std::size_t grown = 0;
        while (tc.next()) {
            const KeyHit h = keys_of(tc.content);
            if (!h.any()) continue;
            const bool spaced = h.spaced >= 0;
            const auto k = static_cast<std::size_t>(spaced ? h.spaced : h.plain);
            if (!ok_[k] || (spaced && unspaced_self_[k])) return false;
            // Every text within the pass stays below the start plus what grows.
            const std::size_t len = tc.end - tc.start, vlen = e_[k].second.size();
            if (vlen > len) grown += vlen - len;
            if (!fits(text.size(), grown, bound_)) return false;
            next_.append(text, from, tc.start - from);
            next_.append(e_[k].second);
            from = tc.end;
            all_edge_safe = all_edge_safe && edge_safe_[k];
            inner_spots = inner_spots || !inner_[k].empty();
            growth += inner_growth_[k];
        }
        next_.append(text, from, npos);
        work_ += text.size();
        if (all_edge_safe) {
            // No spot crosses an edge: the result's key spots are the inserted
            // values' own placeholders.
            has_spots_ = inner_spots;
            next_size_ = static_cast<std::size_t>(static_cast<std::int64_t>(next_.size()) + growth);
            return true;
        }

        // Every key spot of the result must lie inside one inserted value; the
        // inserted values are found again by walking the text's spots alongside.
        SpotCursor inserted(text, max_content_), result(next_, max_content_);
        std::size_t added = 0, removed = 0, region_start = 0, region_end = 0;
        bool have_region = false;
        has_spots_ = false;
        // The result's key spots are exactly what the next pass replaces, so its
        // size is known here.
        std::size_t size = next_.size();
        while (result.next()) {
            const KeyHit h = keys_of(result.content);
            if (!h.any()) continue;
            has_spots_ = true;
            size = size - (result.end - result.start) +
                   e_[static_cast<std::size_t>(h.spaced >= 0 ? h.spaced : h.plain)].second.size();
            while (!have_region || region_end < result.end) {
                std::int64_t k = -1;
                while (k < 0 && inserted.next()) {
                    const KeyHit h = keys_of(inserted.content);
                    k = h.spaced >= 0 ? h.spaced : h.plain;
                }
                if (k < 0) return false;
                const std::size_t len = e_[static_cast<std::size_t>(k)].second.size();
                region_start = inserted.start + added - removed;
                region_end = region_start + len;
                added += len;
                removed += inserted.end - inserted.start;
                have_region = true;
            }
            if (region_start > result.start) return false;
        }
        work_ += text.size() + next_.size();
        next_size_ = size;
        return true;
    }

    // Marks the keys with a spot in the text; with brace-free keys no other key
    // can match anywhere. Within a sequential pass the marks may go stale in the
    // safe direction only (a mark for a spot since replaced).
    void mark_present(std::string_view text) {
        ++epoch_;
        work_ += text.size();
        has_spots_ = false;
        SpotCursor c(text, max_content_);
        while (c.next()) {
            const KeyHit h = keys_of(c.content);
            if (h.plain >= 0) stamp_plain_[static_cast<std::size_t>(h.plain)] = epoch_;
            if (h.spaced >= 0) stamp_spaced_[static_cast<std::size_t>(h.spaced)] = epoch_;
            has_spots_ = has_spots_ || h.any();
        }
    }

    // One pass exactly as defined; with brace-free keys, a written form with no
    // spot in the text at its turn is not searched for, since its replacement
    // would find nothing. False when the text would outgrow the size bound, or
    // the work passes the work bound.
    bool sequential_pass(std::string& text) {
        ensure_patterns();
        if (brace_free_) {
            if (!inner_done_) compute_inner();
            mark_present(text);
        }
        for (std::uint32_t i = 0; i < e_.size(); ++i) {
            const bool spaced = !brace_free_ || stamp_spaced_[i] == epoch_;
            const bool plain = !brace_free_ || stamp_plain_[i] == epoch_;
            bool over = false, changed = false;
            if (work_ > limits_.work) return false;
            if (spaced) {
                work_ += text.size();
                changed = replace_all(text, patterns_[i].first, e_[i].second, bound_, &over);
                if (over) return false;
            }
            // The spaced replacement may have brought brace-less spots of this key.
            if (plain || changed) {
                work_ += text.size();
                changed |= replace_all(text, patterns_[i].second, e_[i].second, bound_, &over);
                if (over) return false;
            }
            if (changed) work_ += text.size();  // the text built
            if (!changed || !brace_free_) continue;
            // Without spots across its edges, the keys a value brings are its own
            // placeholders.
            if (edge_safe_[i]) {
                for (const auto& r : inner_[i])
                    (r.spaced ? stamp_spaced_ : stamp_plain_)[r.key] = epoch_;
                has_spots_ = has_spots_ || !inner_[i].empty();
            } else {
                mark_present(text);
            }
        }
        return true;
    }

    static detail::SubstitutionRun decided(detail::SubstitutionRun& res, std::uint64_t passes,
                                           std::string name) {
        res.passes = passes;
        res.leftover = std::move(name);
        return std::move(res);
    }

    // A bound is hit with `remaining` passes still to run on `text`.
    detail::SubstitutionRun give_up(const std::string& text, std::uint64_t remaining,
                                    std::uint64_t passes, detail::SubstitutionRun& res) {
        const bool work = work_ > limits_.work;
        if (auto name = prove(text, remaining)) return decided(res, passes, *name);
        throw SizeLimitExceeded("variable substitution in model '" + std::string(model_) +
                                "' would " + (work ? "process more than " : "exceed ") +
                                std::to_string(work ? limits_.work : limits_.size) + " bytes");
    }

    // The outcome of running `remaining` more passes on `text`, when one of the
    // proofs above decides it. Costs a fraction of the work done so far.
    std::optional<std::string> prove(const std::string& text, std::uint64_t remaining) {
        if (!brace_free_) return std::nullopt;
        if (auto name = one_name(text)) return name;
        const std::uint64_t budget = std::min<std::uint64_t>(
            std::max<std::uint64_t>(work_ / 2, std::uint64_t{limits_.window} * 64),
            std::uint64_t{1} << 36);
        const std::size_t window = std::min<std::size_t>(
            std::max<std::size_t>(limits_.window, static_cast<std::size_t>(work_ >> 12)),
            std::size_t{16} << 20);
        return prefix_leftover(text, remaining, window, budget);
    }

    bool word_name(std::string_view k) const {
        const std::string spaced = concat({"{{ ", k, " }}"});
        std::string_view g[2];
        return leftover_pattern().first_match(spaced, g, 2) && g[0].size() == spaced.size() &&
               g[1] == k;
    }

    // The set C of the rules above, as a flag per key.
    std::vector<char> closed_set() {
        if (!inner_done_) compute_inner();
        const std::size_t n = e_.size();
        std::vector<char> in(n, 0);
        for (std::size_t k = 0; k < n; ++k) {
            const std::string_view name = e_[k].first;
            in[k] = word_name(name) && index_.count(concat({" ", name, " "})) == 0;
        }
        std::vector<std::uint32_t> count(n, 0);
        std::vector<std::vector<std::uint32_t>> users(n);
        for (std::uint32_t k = 0; k < n; ++k) {
            if (!in[k]) continue;
            for (const auto& r : inner_[k])
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
    std::optional<std::string> one_name(const std::string& text) {
        const std::vector<char> in = closed_set();
        std::vector<char> reach(e_.size(), 0);
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
        SpotCursor c(text, max_content_);
        while (c.next()) {
            const KeyHit h = keys_of(c.content);
            visit(h.plain);
            visit(h.spaced);
        }
        if (!certain) return std::nullopt;
        while (!todo.empty()) {
            const auto i = todo.back();
            todo.pop_back();
            if (!edge_safe_[i]) return std::nullopt;
            for (const auto& r : inner_[i]) visit(r.key);
        }
        std::optional<std::string> name;
        bool uniform = true;
        auto names_in = [&](std::string_view s) {
            leftover_pattern().for_each_match(s, [&](const std::string_view* g, int) {
                if (!name) name.emplace(g[1]);
                uniform = uniform && *name == g[1];
            });
        };
        work_ += text.size();
        names_in(text);
        for (std::uint32_t i = 0; i < e_.size() && uniform; ++i)
            if (reach[i]) names_in(e_[i].second);
        if (!uniform) return std::nullopt;
        return name;
    }

    // Whether w[p..] could be the start of a "{{content}}" span, with brace-free
    // content of at most max_content_ bytes, that does not end within w.
    bool open_span_at(std::string_view w, std::size_t p) const {
        const std::size_t n = w.size();
        if (w[p] != '{') return false;
        if (p + 1 == n) return true;
        if (w[p + 1] != '{') return false;
        std::size_t j = p + 2;
        while (j < n && w[j] != '{' && w[j] != '}') ++j;
        if (j - (p + 2) > max_content_) return false;
        return j == n || (w[j] == '}' && j + 1 == n);
    }

    // Cuts w back until no written form of a key can begin in it and run past its
    // end. Whether that holds depends on w alone, so a w cut this way stays a
    // prefix of the full run's text through every replacement, whatever follows.
    void close_prefix(std::string& w) const {
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
    static bool replace_prefix(std::string& w, std::string_view pat, std::string_view rep,
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
    std::optional<std::string> prefix_leftover(std::string_view text, std::uint64_t remaining,
                                               std::size_t window, std::uint64_t budget) {
        ensure_patterns();
        std::string w(text.substr(0, std::min(window, text.size())));
        close_prefix(w);
        std::string out, saved;
        bool have_saved = false;
        std::uint64_t done = 0, saved_at = 0, power = 1, spent = 0;
        std::vector<char> spaced(e_.size()), plain(e_.size());
        auto mark = [&] {
            std::fill(spaced.begin(), spaced.end(), 0);
            std::fill(plain.begin(), plain.end(), 0);
            spent += w.size() + e_.size();
            SpotCursor c(w, max_content_);
            while (c.next()) {
                const KeyHit h = keys_of(c.content);
                if (h.plain >= 0) plain[static_cast<std::size_t>(h.plain)] = 1;
                if (h.spaced >= 0) spaced[static_cast<std::size_t>(h.spaced)] = 1;
            }
        };
        while (done < remaining) {
            mark();
            for (std::uint32_t i = 0; i < e_.size(); ++i) {
                if (!spaced[i] && !plain[i]) continue;
                spent += 2 * w.size();
                bool changed = spaced[i] && replace_prefix(w, patterns_[i].first, e_[i].second,
                                                           window, out);
                changed = replace_prefix(w, patterns_[i].second, e_[i].second, window, out) ||
                          changed;
                if (changed) {
                    close_prefix(w);
                    mark();
                }
            }
            ++done;
            if (spent > budget) return std::nullopt;
            if (!have_saved) {
                saved = w;
                saved_at = done;
                have_saved = true;
            } else if (w == saved) {
                remaining = done + (remaining - done) % (done - saved_at);
                have_saved = false;
                power = 1;
            } else if (done - saved_at == power) {
                saved = w;
                saved_at = done;
                power *= 2;
            }
        }
        std::string_view g[2];
        if (leftover_pattern().first_match(w, g, 2)) return std::string(g[1]);
        return std::nullopt;
    }

    void ensure_patterns() {
        if (!patterns_.empty()) return;
        patterns_.reserve(e_.size());
        for (const auto& [k, v] : e_)
            patterns_.emplace_back(concat({"{{ ", k, " }}"}), concat({"{{", k, "}}"}));
    }

    VarEntries e_;
    std::string_view model_;
    detail::Limits limits_;
    std::unordered_map<std::string_view, std::uint32_t> index_;
    bool brace_free_ = true;
    bool conflict_ = false;
    bool fast_ = false;
    std::size_t max_content_ = 0;
    std::vector<std::vector<InnerRef>> inner_;
    bool inner_done_ = false;
    std::vector<char> ok_, unspaced_self_, edge_safe_;
    std::vector<std::int64_t> inner_growth_;  // size change when a value's own spots are replaced
    std::vector<std::pair<std::string, std::string>> patterns_;
    std::vector<std::uint64_t> stamp_plain_, stamp_spaced_;
    std::uint64_t epoch_ = 0;
    bool cache_valid_ = false;
    std::string cache_content_;
    KeyHit cache_hit_;

    std::size_t bound_ = 0;
    std::uint64_t work_ = 0, next_try_ = 0;
    bool has_spots_ = false;
    std::size_t next_size_ = 0;  // size of the next one-scan pass's result, 0 if unknown
    std::string next_;
};

// ---- front matter ----------------------------------------------------------

StrList list_rule(std::string_view value) {
    StrList out;
    for (auto piece : text::split(value, ',')) {
        const auto t = text::trim(piece);
        if (!t.empty()) out.emplace_back(t);
    }
    return out;
}

bool starts_with_with_space(std::string_view t) {
    auto lower = [](char c) { return static_cast<char>(c | 0x20); };
    return t.size() >= 5 && lower(t[0]) == 'w' && lower(t[1]) == 'i' && lower(t[2]) == 't' &&
           lower(t[3]) == 'h' && t[4] == ' ';
}

}  // namespace

namespace detail {

std::string rewrite_refs(std::string text, std::string_view schema, const StrList& other_refs,
                         const StrList& ephemeral_refs, bool allow_fast, std::size_t bound) {
    if (allow_fast) {
        if (auto out = rewrite_refs_fast(text, schema, other_refs, ephemeral_refs, bound))
            return std::move(*out);
    }
    return rewrite_refs_sequential(std::move(text), schema, other_refs, ephemeral_refs, bound);
}

std::string rewrite_sources(std::string text, const StrPairList& pairs, const SourceMap& sources,
                            bool allow_fast, std::size_t bound) {
    if (allow_fast) {
        if (auto out = rewrite_sources_fast(text, pairs, sources, bound)) return std::move(*out);
    }
    return rewrite_sources_sequential(std::move(text), pairs, sources, bound);
}

SubstitutionRun substitute(std::string& text, VarEntries entries, std::uint64_t pass_limit,
                           std::string_view model_name, bool allow_fast, bool reorder,
                           const Limits& limits) {
    // Every written form begins with "{{": without one the first pass changes nothing.
    if (pass_limit == 0 || text.find("{{") == npos) {
        SubstitutionRun res;
        res.passes = pass_limit == 0 ? 0 : 1;
        res.order = std::move(entries);
        return res;
    }
    Substituter sub(std::move(entries), model_name, allow_fast, reorder, limits);
    return sub.run(text, pass_limit);
}

}  // namespace detail

std::size_t text_size_bound() {
    // The machine's memory does not change while the process runs, and asking
    // costs the kernel a walk over its block devices: read once per process.
    static const std::uint64_t physical = [] {
        const long pages = ::sysconf(_SC_PHYS_PAGES), page = ::sysconf(_SC_PAGESIZE);
        if (pages > 0 && page > 0)
            return static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(page);
        return std::uint64_t{8} << 30;  // unknown: assume a small machine
    }();
    std::uint64_t total = physical;
    for (const int which : {RLIMIT_AS, RLIMIT_DATA}) {
        ::rlimit lim{};
        if (::getrlimit(which, &lim) == 0 && lim.rlim_cur != RLIM_INFINITY)
            total = std::min<std::uint64_t>(total, lim.rlim_cur);
    }
    return static_cast<std::size_t>(std::min<std::uint64_t>(
        total / 8, std::numeric_limits<std::size_t>::max() / 4));
}

std::uint64_t max_var_passes() {
    constexpr std::uint64_t kDefault = 10;
    const char* raw = std::getenv("TOVIK_MAX_VAR_PASSES");
    if (raw == nullptr) return kDefault;
    std::string_view s(raw);
    if (!s.empty() && s.front() == '+') s.remove_prefix(1);
    if (s.empty()) return kDefault;
    std::uint64_t value = 0;
    for (char c : s) {
        if (c < '0' || c > '9') return kDefault;
        const auto d = static_cast<std::uint64_t>(c - '0');
        if (value > (std::numeric_limits<std::uint64_t>::max() - d) / 10) return kDefault;
        value = value * 10 + d;
    }
    return value;
}

void collect_recursive(const std::string& name, const EphemeralMap& ephemerals,
                       std::unordered_set<std::string>& visited, std::vector<StrPair>& collected) {
    struct Frame {
        const std::string* name;
        const EphemeralModel* model;
        std::size_t next_dep;
    };
    if (!visited.insert(name).second) return;
    auto it = ephemerals.find(name);
    if (it == ephemerals.end()) return;
    std::vector<Frame> stack{{&it->first, &it->second, 0}};
    while (!stack.empty()) {
        Frame& top = stack.back();
        if (top.next_dep < top.model->deps.size()) {
            const std::string& dep = top.model->deps[top.next_dep++];
            if (!visited.insert(dep).second) continue;
            auto d = ephemerals.find(dep);
            if (d != ephemerals.end()) stack.push_back({&d->first, &d->second, 0});
        } else {
            collected.emplace_back(*top.name, top.model->compiled_body);
            stack.pop_back();
        }
    }
}

Result<ResolvedModel> resolve_sql(std::string_view body, std::string_view model_name,
                                  std::string_view schema, std::string_view materialization,
                                  const StrMap& vars, const SourceMap& sources, const StrList& refs,
                                  const StrPairList& source_pairs,
                                  const std::optional<StrMap>& front_matter,
                                  const EphemeralMap& ephemerals) {
    ResolvedModel out;
    std::string_view effective_schema = schema;
    if (front_matter) {
        const StrMap& fm = *front_matter;
        if (auto it = fm.find("description"); it != fm.end()) out.description = it->second;
        if (auto it = fm.find("tags"); it != fm.end()) out.tags = list_rule(it->second);
        if (auto it = fm.find("enabled"); it != fm.end()) out.enabled = it->second != "false";
        if (auto it = fm.find("schema"); it != fm.end()) effective_schema = it->second;
        if (auto it = fm.find("macros"); it != fm.end()) out.macros = list_rule(it->second);
        if (auto it = fm.find("unique_key"); it != fm.end()) out.unique_key = it->second;
    }

    StrList other_refs, ephemeral_refs;
    for (const auto& r : refs) (ephemerals.count(r) != 0 ? ephemeral_refs : other_refs).push_back(r);

    const detail::Limits limits;
    std::string sql(body);
    if (!refs.empty())
        sql = detail::rewrite_refs(std::move(sql), schema, other_refs, ephemeral_refs, true,
                                   limits.size);

    for (const auto& [s, t] : source_pairs)
        if (sources.count(s) == 0) return UnknownSource{std::string(model_name), s, t};
    if (!source_pairs.empty())
        sql = detail::rewrite_sources(std::move(sql), source_pairs, sources, true, limits.size);

    // Nothing below can match without "{{"; skip building the map for such models.
    if (sql.find("{{") != npos) {
        VarEntries entries;
        entries.reserve(vars.size() + 1);
        for (const auto& [k, v] : vars) entries.emplace_back(k, v);
        if (vars.count("schema") == 0) entries.emplace_back("schema", effective_schema);
        auto run = detail::substitute(sql, std::move(entries), max_var_passes(), model_name, true,
                                      true, limits);
        if (run.leftover) return UnresolvedVariable{std::move(*run.leftover)};
        std::string_view g[2];
        if (leftover_pattern().first_match(sql, g, 2)) return UnresolvedVariable{std::string(g[1])};
    }

    if (!ephemeral_refs.empty()) {
        std::unordered_set<std::string> visited;
        std::vector<StrPair> collected;
        for (const auto& n : ephemeral_refs) collect_recursive(n, ephemerals, visited, collected);
        std::string with = "WITH ";
        for (std::size_t i = 0; i < collected.size(); ++i) {
            if (i > 0) with += ",\n";
            append_all(with, {collected[i].first, " AS (\n", collected[i].second, "\n)"});
        }
        const auto trimmed = text::trim_start(sql);
        if (starts_with_with_space(trimmed))
            append_all(with, {",\n", trimmed.substr(5)});
        else
            append_all(with, {"\n", sql});
        sql = std::move(with);
    }

    out.name.assign(model_name);
    out.resolved_sql = std::move(sql);
    out.target = concat({effective_schema, ".", model_name});
    out.materialization.assign(materialization);
    out.refs = refs;
    out.sources = source_pairs;
    return out;
}

Result<CompiledModel> wrap_ddl(const ResolvedModel& model) {
    const std::string_view m = model.materialization;
    const std::string_view t = model.target;
    const std::string_view sql = model.resolved_sql;
    std::string ddl;
    if (m == "view") {
        append_all(ddl, {"CREATE OR REPLACE VIEW ", t, " AS\n", sql});
    } else if (m == "table") {
        append_all(ddl, {"DROP TABLE IF EXISTS ", t, ";\nCREATE TABLE ", t, " AS\n", sql});
    } else if (m == "ephemeral") {
    } else if (m == "materialized_view") {
        append_all(ddl, {"CREATE MATERIALIZED VIEW IF NOT EXISTS ", t, " AS\n", sql});
    } else if (m == "table_incremental") {
        if (model.unique_key) {
            const std::string_view k = *model.unique_key;
            append_all(ddl, {"DELETE FROM ", t, " WHERE ", k, " IN (SELECT ", k, " FROM (", sql,
                             "));\nINSERT INTO ", t, "\n", sql});
        } else {
            append_all(ddl, {"INSERT INTO ", t, "\n", sql});
        }
    } else {
        return InvalidMaterialization{model.name, model.materialization};
    }
    CompiledModel out;
    out.name = model.name;
    out.compiled_sql = model.resolved_sql;
    out.ddl = std::move(ddl);
    out.target = model.target;
    out.materialization = model.materialization;
    out.refs = model.refs;
    out.sources = model.sources;
    out.description = model.description;
    out.tags = model.tags;
    out.enabled = model.enabled;
    return out;
}

}  // namespace tovik::compiler::resolver

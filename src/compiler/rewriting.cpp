#include "compiler/rewriting.hpp"

#include <algorithm>
#include <array>
#include <unordered_map>
#include <utility>
#include <vector>

#include "errors/error.hpp"
#include "util/interrupt.hpp"

namespace tovik::compiler::rewriting {

using namespace replace;

void refuse_rewrite(std::size_t bound) {
    throw SizeLimitExceeded("rewriting references would exceed " + std::to_string(bound) +
                            " bytes");
}

SourceTraits::Traits SourceTraits::of(const SourceInfo& info) {
    if (&info == last_) return last_traits_;
    auto scan = [&] {
        return Traits{has_paren(info.database) || has_paren(info.schema),
                      has_brace(info.database) || has_brace(info.schema)};
    };
    Traits t;
    // Short names cost less to scan than to look up.
    if (info.database.size() + info.schema.size() <= 64) {
        t = scan();
    } else {
        const auto [it, fresh] = seen_.try_emplace(&info);
        if (fresh) {
            util::work(info.database.size() + info.schema.size());
            it->second = scan();
        }
        t = it->second;
    }
    last_ = &info;
    last_traits_ = t;
    return t;
}

std::size_t StepSizes::step_of(int phase, std::string_view key) {
    const char p = static_cast<char>('0' + phase);
    const auto [it, fresh] =
        index_.try_emplace(concat({std::string_view(&p, 1), key}), steps_.size());
    if (fresh) steps_.push_back(Step{phase, {0, 0}});
    return it->second;
}

void StepSizes::check(std::size_t size, std::size_t bound) const {
    std::vector<std::size_t> order(steps_.size());
    for (std::size_t k = 0; k < order.size(); ++k) order[k] = k;
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        return steps_[a].phase < steps_[b].phase;
    });
    // Each replacement refuses when its own result would pass the bound.
    __int128 at = static_cast<__int128>(size);
    for (const std::size_t k : order)
        for (const std::int64_t d : steps_[k].delta) {
            at += d;
            if (d > 0 && at > static_cast<__int128>(bound)) refuse_rewrite(bound);
        }
}

namespace {

// One replacement of a rewriting step; a result past `bound` is refused.
bool replace_bounded(std::string& text, std::string_view pat, std::string_view rep,
                     std::size_t bound) {
    bool over = false;
    const bool changed = replace_all(text, pat, rep, bound, &over);
    if (over) refuse_rewrite(bound);
    return changed;
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
        util::work(2 * text_.size());
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
    std::unordered_map<std::string, std::uint64_t, util::StringHash, std::equal_to<>> clean_at_;
    std::unordered_map<std::string, std::size_t, util::StringHash, std::equal_to<>> left_;
};

struct Hit {
    std::size_t start, end;
    std::size_t rep;  // index into the replacement list
};

// Replaces `text` by the spliced text, or throws SizeLimitExceeded when one of
// the replacements it stands for would pass `bound`. A hit's quote is at
// `quote_at` bytes past its start; hits of one replacement share its index.
void splice(std::string& text, const std::vector<Hit>& hits, const std::vector<Rep>& reps,
            std::size_t quote_at, std::size_t bound) {
    std::size_t size = text.size(), growth = 0;
    for (const auto& h : hits) {
        const std::size_t len = h.end - h.start, rep = reps[h.rep].size();
        size = size - len + rep;
        if (rep > len) growth += rep - len;
    }
    if (!fits(text.size(), growth, bound)) {
        StepSizes steps;
        for (const auto& h : hits)
            steps.add_numbered(h.rep, text[h.start + quote_at] == '"',
                               static_cast<std::int64_t>(reps[h.rep].size()) -
                                   static_cast<std::int64_t>(h.end - h.start));
        steps.check(text.size(), bound);
    }
    util::work(size);
    std::string out;
    out.reserve(size);
    std::size_t from = 0;
    for (const auto& h : hits) {
        out.append(text, from, h.start - from);
        for (auto p : reps[h.rep].part) out.append(p);
        from = h.end;
    }
    out.append(text, from, npos);
    text = std::move(out);
}

// The index of each key's first entry. A model's lists of refs and sources are
// short, and a scan of a few beats hashing; longer lists go to a hash map.
template <typename Key, typename Hash = util::StringHash>
class FirstIndex {
public:
    // Adds `key` with index `next` unless it is there; true when it was added.
    bool add(const Key& key, std::size_t next) {
        if (find(key) != npos) return false;
        if (n_ < kScan) {
            small_[n_++] = {key, next};
        } else {
            if (map_.empty())
                for (const auto& [k, i] : small_) map_.emplace(k, i);
            map_.emplace(key, next);
        }
        return true;
    }

    std::size_t find(const Key& key) const {
        if (!map_.empty()) {
            const auto it = map_.find(key);
            return it == map_.end() ? npos : it->second;
        }
        for (std::size_t i = 0; i < n_; ++i)
            if (small_[i].first == key) return small_[i].second;
        return npos;
    }

private:
    static constexpr std::size_t kScan = 8;
    std::array<std::pair<Key, std::size_t>, kScan> small_{};
    std::size_t n_ = 0;
    std::unordered_map<Key, std::size_t, Hash, std::equal_to<>> map_;
};

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
// True when done (`text` rewritten in place), false when the sequential path
// must decide (`text` untouched).
bool rewrite_refs_fast(std::string& text, std::string_view schema, const StrList& other,
                       const StrList& ephemeral, std::size_t bound) {
    if (!other.empty() && has_paren(schema)) return false;
    FirstIndex<std::string_view> index;
    std::vector<Rep> reps;
    reps.reserve(other.size() + ephemeral.size());
    std::size_t max_len = 0;
    auto add = [&](const std::string& n, bool is_bare) {
        max_len = std::max(max_len, n.size());
        // A name listed again, even in the other list, keeps its first rewrite.
        if (index.add(n, reps.size()))
            reps.push_back(is_bare ? Rep{{n}} : Rep{{schema, ".", n}});
    };
    for (const auto& n : other) add(n, false);
    for (const auto& n : ephemeral) add(n, true);

    const std::size_t n = text.size();
    const TailFinder keyword("ref(");
    std::vector<Hit> hits;
    std::size_t pos = 0;
    for (std::size_t p; (p = keyword.find(text, pos)) != npos;) {
        pos = p + 1;
        const std::size_t q = p + 4;
        if (q >= n || !is_quote(text[q])) continue;
        const std::size_t close = quoted_name_end(text, q + 1, text[q], max_len);
        if (close == npos || close + 1 >= n || text[close + 1] != ')') continue;
        const std::size_t k = index.find(std::string_view(text).substr(q + 1, close - q - 1));
        if (k == npos) continue;
        hits.push_back({p, close + 2, k});
        pos = close + 2;
    }
    if (hits.empty()) return true;

    auto keyword_byte = [](unsigned char c) { return c == 'r' || c == 'e' || c == 'f'; };
    for (std::size_t k = 0; k < hits.size(); ++k) {
        const auto& h = hits[k];
        const auto last = reps[h.rep].back();
        const int next = h.end < n ? static_cast<unsigned char>(text[h.end]) : -1;
        if (keyword_byte(last) && next >= 0 && (keyword_byte(next) || next == '('))
            return false;
        if (reps[h.rep].part[1].empty()) {  // a bare ephemeral name
            const bool before =
                (h.start > 0 && (is_quote(text[h.start - 1]) ||
                                 nameish(static_cast<unsigned char>(text[h.start - 1])))) ||
                (k > 0 && hits[k - 1].end == h.start);
            const bool after = next >= 0 && (is_quote(next) || nameish(next));
            if (before && after) return false;
        }
    }
    splice(text, hits, reps, 4, bound);
    return true;
}


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
                   source_replacement(**sources.find(s), t));
    }
    return text;
}

struct PairHash {
    std::size_t operator()(const std::pair<std::string_view, std::string_view>& p) const {
        return util::hash_bytes(p.first) * 0x9E3779B97F4A7C15ull ^ util::hash_bytes(p.second);
    }
};

// One scan for all source forms, on the same reasoning as the refs: every
// replacement holds a "." and no parenthesis, so it can only ever become part of
// a new "source" keyword.
bool rewrite_sources_fast(std::string& text, const StrPairList& pairs, const SourceMap& sources,
                          std::size_t bound) {
    FirstIndex<std::pair<std::string_view, std::string_view>, PairHash> index;
    std::vector<Rep> reps;
    reps.reserve(pairs.size());
    std::size_t max_s = 0, max_t = 0;
    SourceTraits traits;
    for (const auto& [s, t] : pairs) {
        const auto& info = **sources.find(s);
        if (traits.of(info).paren) return false;
        max_s = std::max(max_s, s.size());
        max_t = std::max(max_t, t.size());
        if (index.add({s, t}, reps.size()))
            reps.push_back(info.database.empty()
                               ? Rep{{info.schema, ".", t}}
                               : Rep{{info.database, ".", info.schema, ".", t}});
    }

    const std::size_t n = text.size();
    const std::string_view view(text);
    const TailFinder keyword("source(");
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
        const std::size_t k =
            index.find({view.substr(q1 + 1, c1 - q1 - 1), view.substr(c1 + 4, c2 - c1 - 4)});
        if (k == npos) continue;
        hits.push_back({p, c2 + 2, k});
        pos = c2 + 2;
    }
    if (hits.empty()) return true;

    auto keyword_byte = [](unsigned char c) {
        return c == 's' || c == 'o' || c == 'u' || c == 'r' || c == 'c' || c == 'e';
    };
    for (const auto& h : hits) {
        const auto last = reps[h.rep].back();
        if (h.end < n && keyword_byte(last)) {
            const auto next = static_cast<unsigned char>(text[h.end]);
            if (keyword_byte(next) || next == '(') return false;
        }
    }
    splice(text, hits, reps, 7, bound);
    return true;
}

}  // namespace

std::string rewrite_refs(std::string text, std::string_view schema, const StrList& other_refs,
                         const StrList& ephemeral_refs, std::size_t bound) {
    if (rewrite_refs_fast(text, schema, other_refs, ephemeral_refs, bound))
        return text;
    return rewrite_refs_sequential(std::move(text), schema, other_refs, ephemeral_refs, bound);
}

std::string rewrite_sources(std::string text, const StrPairList& pairs, const SourceMap& sources,
                            std::size_t bound) {
    if (rewrite_sources_fast(text, pairs, sources, bound)) return text;
    return rewrite_sources_sequential(std::move(text), pairs, sources, bound);
}

}  // namespace tovik::compiler::rewriting

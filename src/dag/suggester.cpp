#include "dag/suggester.hpp"

#include "dag/similarity.hpp"
#include "util/interrupt.hpp"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace tovik::dag::suggester {

using similarity::decode_utf8;
using similarity::is_ascii;
using similarity::winkler;

namespace {

constexpr double kThreshold = 0.8;
// Pruning compares computed upper bounds against computed scores; this margin
// dwarfs their rounding error, so a pruned candidate could never have won.
constexpr double kSlack = 1e-9;

// Highest score that `matches` common characters could give.
double score_bound(std::size_t matches, std::size_t la, std::size_t lb, std::size_t prefix) {
    const auto m = static_cast<double>(matches);
    const double j = (m / static_cast<double>(la) + m / static_cast<double>(lb) + 1.0) / 3.0;
    if (j <= 0.7 - kSlack) return j;
    return j + 0.1 * static_cast<double>(prefix) * (1.0 - j);
}

// A histogram of 32 byte-sized counters, kept for every candidate and
// compared in a few vector instructions, bounds the number of Jaro matches
// from above: it maps code points many-to-one, which can only overstate the
// overlap.

inline std::size_t coarse_bucket(char32_t c) {
    if (c >= 'a' && c <= 'z') return c - 'a';
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= '0' && c <= '9') return 26 + (c - '0') % 5;
    return 31;
}

using Coarse = std::array<std::uint8_t, 32>;

std::size_t coarse_overlap(const Coarse& q, const Coarse& c) {
#if defined(__SSE2__)
    const __m128i zero = _mm_setzero_si128();
    const __m128i lo = _mm_min_epu8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(q.data())),
                                    _mm_loadu_si128(reinterpret_cast<const __m128i*>(c.data())));
    const __m128i hi =
        _mm_min_epu8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(q.data() + 16)),
                     _mm_loadu_si128(reinterpret_cast<const __m128i*>(c.data() + 16)));
    const __m128i sum = _mm_add_epi64(_mm_sad_epu8(lo, zero), _mm_sad_epu8(hi, zero));
    return static_cast<std::size_t>(_mm_cvtsi128_si32(sum)) +
           static_cast<std::size_t>(_mm_extract_epi16(sum, 4));
#else
    std::size_t total = 0;
    for (std::size_t k = 0; k < q.size(); ++k) total += std::min(q[k], c[k]);
    return total;
#endif
}

// Scores names against a fixed candidate list without trying every candidate
// in full. Candidates are grouped by length and first character, and each
// group, sorted by text, is cut into small blocks whose element-wise largest
// coarse histogram bounds every member. Groups sharing the query's first
// character, then those nearest in length, are visited first, after a few
// likely matches, so that the bar rises early; a group, a block or a
// candidate that provably cannot reach the bar is skipped. The winner is
// still the highest score, ties going to the latest candidate in list order.
}  // namespace

class Suggester {
public:
    explicit Suggester(const std::vector<std::string_view>& candidates) {
        std::vector<Cand> cands;
        std::vector<Hot> hot(candidates.size());
        cands.reserve(candidates.size());
        std::vector<char32_t> chars;
        for (std::size_t i = 0; i < candidates.size(); ++i) {
            const auto text = candidates[i];
            Cand c{text, 0, text.size(), i, true};
            chars.clear();
            if (is_ascii(text)) {
                for (const char ch : text) chars.push_back(static_cast<unsigned char>(ch));
            } else {
                decode_utf8(text, chars);
                c.ascii = false;
                c.wide_at = wide_.size();
                c.len = chars.size();
                wide_.insert(wide_.end(), chars.begin(), chars.end());
            }
            cands.push_back(c);

            Hot& h = hot[i];
            h.head.fill(kNoChar);
            for (std::size_t k = 0; k < chars.size() && k < h.head.size(); ++k) h.head[k] = chars[k];
            std::array<std::size_t, 32> counts{};
            for (const char32_t ch : chars) ++counts[coarse_bucket(ch)];
            // Capping is safe: the query's counts are at most 255 whenever the
            // coarse bound is used, so min(query, 255) still covers the overlap.
            for (std::size_t k = 0; k < 32; ++k) {
                h.coarse[k] = static_cast<std::uint8_t>(std::min<std::size_t>(counts[k], 255));
            }
        }

        std::vector<std::size_t> order(cands.size());
        for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
        std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
            if (cands[a].len != cands[b].len) return cands[a].len < cands[b].len;
            if (hot[a].head[0] != hot[b].head[0]) return hot[a].head[0] < hot[b].head[0];
            return cands[a].text < cands[b].text;
        });
        cands_.reserve(cands.size());
        hot_.reserve(hot.size());
        for (const std::size_t i : order) {
            cands_.push_back(cands[i]);
            hot_.push_back(hot[i]);
        }

        for (std::size_t i = 0; i < cands_.size();) {
            std::size_t j = i;
            const char32_t f = hot_[i].head[0];
            while (j < cands_.size() && cands_[j].len == cands_[i].len && hot_[j].head[0] == f) ++j;
            Group g{cands_[i].len, f, blocks_.size(), 0};
            for (std::size_t b = i; b < j; b += kBlock) {
                Block block{b, std::min(j, b + kBlock), {}, hot_[b].head, 4};
                for (std::size_t k = block.begin; k < block.end; ++k) {
                    std::size_t same = 0;
                    while (same < block.head_common && hot_[k].head[same] == block.head[same]) ++same;
                    block.head_common = same;
                    for (std::size_t x = 0; x < 32; ++x) {
                        block.coarse[x] = std::max(block.coarse[x], hot_[k].coarse[x]);
                    }
                }
                for (const auto x : block.coarse) block.size_bound += x;
                blocks_.push_back(block);
            }
            g.blocks_end = blocks_.size();
            groups_.push_back(g);
            i = j;
        }

        by_text_.resize(cands_.size());
        for (std::size_t i = 0; i < by_text_.size(); ++i) by_text_[i] = i;
        std::sort(by_text_.begin(), by_text_.end(), [this](std::size_t a, std::size_t b) {
            return cands_[a].text < cands_[b].text;
        });
    }

    std::optional<std::string> best(std::string_view name) {
        decode_utf8(name, query_);
        const std::size_t la = query_.size();
        if (la == 0) {
            // Only another empty name scores above zero.
            const Cand* winner = nullptr;
            for (const auto& c : cands_) {
                if (c.len == 0 && (!winner || c.index > winner->index)) winner = &c;
            }
            return winner ? std::optional<std::string>(winner->text) : std::nullopt;
        }

        scorer_.set(query_.data(), la);
        std::array<std::size_t, 32> coarse{};
        for (const char32_t c : query_) ++coarse[coarse_bucket(c)];
        // With a count past a byte the coarse bound no longer holds; rare
        // enough to simply do without it.
        use_coarse_ = true;
        for (std::size_t k = 0; k < 32; ++k) {
            if (coarse[k] > 255) use_coarse_ = false;
            query_coarse_[k] = static_cast<std::uint8_t>(std::min<std::size_t>(coarse[k], 255));
        }

        util::work(groups_.size() * 4);
        std::vector<const Group*> order;
        order.reserve(groups_.size());
        for (const auto& g : groups_) order.push_back(&g);
        const char32_t q0 = query_[0];
        const auto rank = [la, q0](const Group* g) {
            return std::pair(g->first != q0, g->len > la ? g->len - la : la - g->len);
        };
        std::sort(order.begin(), order.end(),
                  [&](const Group* a, const Group* b) { return rank(a) < rank(b); });

        winner_ = nullptr;
        best_score_ = 0.0;
        seed(name);
        seed_blocks(order);
        for (const Group* g : order) scan(*g);
        if (!winner_) return std::nullopt;
        return std::string(winner_->text);
    }

private:
    static constexpr std::size_t kBlock = 32;
    // Above every value that decoding produces.
    static constexpr char32_t kNoChar = 0xFFFFFFFF;

    struct Cand {
        std::string_view text;
        std::size_t wide_at;
        std::size_t len;    // in code points
        std::size_t index;  // position in the caller's list
        bool ascii;
    };
    // What the scan reads for every candidate; the text is touched only once
    // a candidate has passed every bound.
    struct Hot {
        Coarse coarse;
        std::array<char32_t, 4> head;  // first characters, kNoChar past the end
    };
    struct Block {
        std::size_t begin, end;
        Coarse coarse;                 // element-wise largest of the members'
        std::array<char32_t, 4> head;  // the first member's
        std::size_t head_common;       // leading head characters all members share
        std::size_t size_bound = 0;    // sum of coarse
    };

    // The longest common prefix that any member of the block can have with the
    // query: members agree up to head_common, so a mismatch before it is
    // everyone's.
    std::size_t block_prefix(const Block& block) const {
        const std::size_t limit = std::min<std::size_t>(query_.size(), 4);
        std::size_t p = 0;
        while (p < limit && p < block.head_common && block.head[p] == query_[p]) ++p;
        return p < block.head_common ? p : limit;
    }
    struct Group {
        std::size_t len;
        char32_t first;
        std::size_t blocks_begin, blocks_end;
    };

    // Work units of scoring one candidate of lb characters, for util::work.
    std::size_t cost(std::size_t lb) const { return 1 + lb + query_.size() / 64; }

    double bar() const { return (winner_ ? best_score_ : kThreshold) - kSlack; }

    // need[p]: the fewest common characters that could still reach the bar
    // with a common prefix of p; above min(la, lb) when nothing could.
    void fill_need(std::size_t la, std::size_t lb, std::array<std::size_t, 5>& need) const {
        const std::size_t most = std::min(la, lb);
        const double floor = bar();
        for (std::size_t p = 0; p <= 4; ++p) {
            std::size_t lo = 0;
            std::size_t hi = most + 1;
            // The bound grows with the match count: binary search its crossing.
            while (lo < hi) {
                const std::size_t mid = lo + (hi - lo) / 2;
                if (score_bound(mid, la, lb, p) >= floor) {
                    hi = mid;
                } else {
                    lo = mid + 1;
                }
            }
            need[p] = lo;
        }
    }

    std::size_t prefix_of(std::size_t k) const {
        const std::size_t limit = std::min<std::size_t>(query_.size(), 4);
        std::size_t p = 0;
        while (p < limit && hot_[k].head[p] == query_[p]) ++p;
        return p;
    }

    // Keeps candidate k if its score s wins. Returns whether the bar rose.
    bool offer(std::size_t k, double s) {
        const Cand& c = cands_[k];
        if (s < kThreshold) return false;
        if (winner_ && (s < best_score_ || (s == best_score_ && c.index <= winner_->index))) {
            return false;
        }
        winner_ = &c;
        best_score_ = s;
        return true;
    }

    // Scores candidate k unless fewer than `need` characters match, and keeps
    // it if it wins. Returns whether the bar rose.
    bool consider(std::size_t k, std::size_t prefix, std::size_t need) {
        const Cand& c = cands_[k];
        if (c.len == 0) return false;
        return offer(k, c.ascii ? score(reinterpret_cast<const unsigned char*>(c.text.data()), c.len,
                                        prefix, need)
                                : score(wide_.data() + c.wide_at, c.len, prefix, need));
    }

    // A typo usually keeps most of the name's beginning, so the names that sort
    // next to the query are tried first. They come up again in the scan, where
    // they change nothing.
    void seed(std::string_view name) {
        constexpr std::size_t kNeighbours = 16;
        const auto at = static_cast<std::size_t>(
            std::lower_bound(by_text_.begin(), by_text_.end(), name,
                             [this](std::size_t i, std::string_view q) { return cands_[i].text < q; }) -
            by_text_.begin());
        const std::size_t lo = at > kNeighbours ? at - kNeighbours : 0;
        const std::size_t hi = std::min(by_text_.size(), at + kNeighbours);
        for (std::size_t k = lo; k < hi; ++k) {
            util::work(cost(cands_[by_text_[k]].len));
            consider(by_text_[k], prefix_of(by_text_[k]), 0);
        }
    }

    // The blocks that share the most characters with the query, by their
    // coarse bound, are tried next: one of them often holds a name that the
    // text order did not bring close, such as one whose typo is near the start.
    void seed_blocks(const std::vector<const Group*>& order) {
        if (!use_coarse_) return;
        constexpr std::size_t kSeedBlocks = 8;
        std::array<std::pair<std::size_t, std::size_t>, kSeedBlocks> top{};  // (overlap, block)
        std::size_t filled = 0;
        const std::size_t la = query_.size();
        std::array<std::size_t, 5> need{};
        for (const Group* g : order) {
            if (g->len == 0) continue;
            util::work(1 + g->blocks_end - g->blocks_begin);
            fill_need(la, g->len, need);
            const std::size_t best_prefix = g->first == query_[0] ? std::min<std::size_t>(la, 4) : 0;
            if (need[best_prefix] > std::min(la, g->len)) continue;
            for (std::size_t b = g->blocks_begin; b < g->blocks_end; ++b) {
                const std::size_t overlap = coarse_overlap(query_coarse_, blocks_[b].coarse);
                if (overlap < need[std::min(best_prefix, block_prefix(blocks_[b]))]) continue;
                // A block whose bound is loose, holding many characters the
                // query lacks, is a poorer bet than a tight one.
                const std::size_t spread = blocks_[b].size_bound - overlap;
                const std::size_t rank = 2 * overlap > spread ? 2 * overlap - spread : 0;
                if (filled < kSeedBlocks) {
                    top[filled++] = {rank, b};
                } else {
                    auto weakest = std::min_element(top.begin(), top.end());
                    if (rank > weakest->first) *weakest = {rank, b};
                }
            }
        }
        for (std::size_t t = 0; t < filled; ++t) {
            const Block& block = blocks_[top[t].second];
            util::work((block.end - block.begin) * cost(cands_[block.begin].len));
            for (std::size_t k = block.begin; k < block.end; ++k) consider(k, prefix_of(k), 0);
        }
    }

    void scan(const Group& g) {
        const std::size_t la = query_.size();
        const std::size_t lb = g.len;
        if (lb == 0) return;  // scores 0 against a non-empty name
        std::array<std::size_t, 5> need{};
        fill_need(la, lb, need);
        // Without a common first character there is no prefix bonus.
        const std::size_t best_prefix = g.first == query_[0] ? std::min<std::size_t>(la, 4) : 0;
        const std::size_t most = std::min(la, lb);
        if (need[best_prefix] > most) return;

        const std::size_t each = cost(lb);
        // ASCII candidates that pass the bounds wait here to be scored in
        // batches; a stale bar while they wait only means less pruning.
        constexpr std::size_t kBatch = similarity::Scorer::kBatch;
        const bool batched = scorer_.batches();
        std::array<std::size_t, kBatch> waiting{};
        std::array<std::size_t, kBatch> waiting_prefix{};
        std::array<std::size_t, kBatch> waiting_need{};
        std::size_t n_waiting = 0;
        // Returns false once nothing in the group can reach the bar.
        const auto score_waiting = [&]() {
            std::array<const unsigned char*, kBatch> texts{};
            std::array<double, kBatch> sims{};
            for (std::size_t q = 0; q < kBatch; ++q) {
                texts[q] = reinterpret_cast<const unsigned char*>(cands_[waiting[q]].text.data());
            }
            scorer_.jaro_batch(texts.data(), lb, waiting_need.data(), sims.data());
            n_waiting = 0;
            bool rose = false;
            for (std::size_t q = 0; q < kBatch; ++q) {
                const double sim = sims[q];
                rose |= offer(waiting[q], sim < 0.0 ? sim : winkler(sim, waiting_prefix[q]));
            }
            if (!rose) return true;
            fill_need(la, lb, need);
            return need[best_prefix] <= most;
        };

        for (std::size_t b = g.blocks_begin; b < g.blocks_end; ++b) {
            const Block& block = blocks_[b];
            util::work((block.end - block.begin) * each);
            const std::size_t block_need = need[std::min(best_prefix, block_prefix(block))];
            if (block_need > most) continue;
            if (use_coarse_ && coarse_overlap(query_coarse_, block.coarse) < block_need) continue;
            for (std::size_t k = block.begin; k < block.end; ++k) {
                const std::size_t prefix = prefix_of(k);
                if (use_coarse_ && coarse_overlap(query_coarse_, hot_[k].coarse) < need[prefix]) {
                    continue;
                }
                if (batched && cands_[k].ascii) {
                    waiting[n_waiting] = k;
                    waiting_prefix[n_waiting] = prefix;
                    waiting_need[n_waiting] = need[prefix];
                    if (++n_waiting == kBatch && !score_waiting()) return;
                    continue;
                }
                if (consider(k, prefix, need[prefix])) {
                    fill_need(la, lb, need);
                    if (need[best_prefix] > most) return;
                }
            }
        }
        for (std::size_t q = 0; q < n_waiting; ++q) {
            consider(waiting[q], waiting_prefix[q], waiting_need[q]);
        }
    }

    // The exact similarity, or -1 when fewer than `need` characters match.
    template <class B>
    double score(const B* b, std::size_t lb, std::size_t prefix, std::size_t need) {
        const double sim = scorer_.jaro(b, lb, need);
        return sim < 0.0 ? sim : winkler(sim, prefix);
    }

    // Sorted by length, first character and text; list order among equals.
    std::vector<Cand> cands_;
    std::vector<Hot> hot_;  // parallel to cands_
    std::vector<Block> blocks_;
    std::vector<Group> groups_;
    std::vector<std::size_t> by_text_;  // positions in cands_, by text
    std::vector<char32_t> wide_;
    std::vector<char32_t> query_;
    similarity::Scorer scorer_;
    Coarse query_coarse_{};
    bool use_coarse_ = true;
    const Cand* winner_ = nullptr;
    double best_score_ = 0.0;
};

CachedSuggester::CachedSuggester(std::vector<std::string_view> candidates)
    : candidates_(std::move(candidates)) {}

CachedSuggester::~CachedSuggester() = default;

const std::optional<std::string>& CachedSuggester::get(std::string_view name) {
    const auto it = cache_.find(name);
    if (it != cache_.end()) return it->second;
    if (!suggester_) suggester_ = std::make_unique<Suggester>(candidates_);
    return cache_.emplace(name, suggester_->best(name)).first->second;
}

std::optional<std::string> closest_match(std::string_view name,
                                         const std::vector<std::string_view>& candidates) {
    if (candidates.empty()) return std::nullopt;
    return Suggester(candidates).best(name);
}

}  // namespace tovik::dag::suggester

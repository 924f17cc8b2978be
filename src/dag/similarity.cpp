#include "dag/similarity.hpp"

#include "util/unicode.hpp"

#include <algorithm>

namespace tovik::dag::similarity {

void decode_utf8(std::string_view s, std::vector<char32_t>& out) {
    out.clear();
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    const auto* end = p + s.size();
    while (p < end) {
        char32_t cp = 0;
        const std::size_t len = unicode::decode(p, end, cp);
        // An ill-formed byte stands for itself, above every code point, so it
        // matches only the same byte.
        out.push_back(len != 0 ? cp : 0x110000 + *p);
        p += len != 0 ? len : 1;
    }
}

bool is_ascii(std::string_view s) {
    for (const char c : s) {
        if (static_cast<unsigned char>(c) >= 0x80) return false;
    }
    return true;
}

double winkler(double sim, std::size_t prefix) {
    if (!(sim > 0.7)) return sim;
    // Rounded on its own: a fused multiply-add would shift scores by an ulp,
    // and ties and the 0.8 threshold are compared exactly.
    const volatile double bonus = 0.1 * static_cast<double>(prefix) * (1.0 - sim);
    return sim + bonus;
}

void Scorer::set(const char32_t* a, std::size_t la) {
    for (std::size_t i = 0; i < la_; ++i) {
        if (a_[i] < 256) {
            low_slot_[a_[i]] = 0;
            low_mask_[a_[i]] = 0;
        }
    }
    a_.assign(a, a + la);
    la_ = la;
    high_chars_.clear();
    for (const char32_t c : a_) {
        if (c >= 256) high_chars_.push_back(c);
    }
    std::sort(high_chars_.begin(), high_chars_.end());
    high_chars_.erase(std::unique(high_chars_.begin(), high_chars_.end()), high_chars_.end());
    slots_ = 1;
    for (const char32_t c : a_) {
        if (c < 256 && low_slot_[c] == 0) low_slot_[c] = slots_++;
    }
    slots_ += static_cast<std::uint32_t>(high_chars_.size());

    if (la_ <= kWord) {
        slot_mask_.assign(slots_, 0);
        for (std::size_t i = 0; i < la_; ++i) {
            const std::uint64_t bit = std::uint64_t{1} << i;
            if (a_[i] < 256) low_mask_[a_[i]] |= bit;
            slot_mask_[slot(a_[i])] |= bit;
        }
    } else {
        pos_start_.assign(slots_ + 1, 0);
        for (const char32_t c : a_) ++pos_start_[slot(c) + 1];
        for (std::uint32_t s = 1; s <= slots_; ++s) pos_start_[s] += pos_start_[s - 1];
        pos_.resize(la_);
        std::vector<std::size_t> fill(pos_start_.begin(), pos_start_.end() - 1);
        for (std::size_t i = 0; i < la_; ++i) pos_[fill[slot(a_[i])]++] = i;
        cursor_.assign(slots_, 0);
        cursor_gen_.assign(slots_, 0);
        gen_ = 0;
        a_flags_.assign((la_ + kWord - 1) / kWord, 0);
    }
    b_matched_.resize(la_ + 1);  // one spare: the short path writes before it knows
    if (batches()) batch_matched_.resize(kBatch * (la_ + 1));
}

template <class B>
Scorer::Counts Scorer::match_short(const B* b, std::size_t lb, std::size_t range, std::size_t need) {
    const std::size_t la = la_;
    // Past this position of b the window lies beyond the end of a.
    const std::size_t end = std::min(lb, la + range);
    if (need > end) return {};
    // Misses allowed before need is out of reach.
    const std::size_t reach = end - need;
    std::uint64_t flags = 0;
    Counts counts;
    for (std::size_t j = 0; j < end && counts.matches + reach >= j; ++j) {
        const std::size_t lo = j > range ? j - range : 0;
        const std::size_t hi = std::min(la, j + range + 1);
        const std::uint64_t below_hi = hi == kWord ? ~std::uint64_t{0} : (std::uint64_t{1} << hi) - 1;
        const std::uint64_t window = below_hi & (~std::uint64_t{0} << lo);
        const std::uint64_t free = short_mask(b[j]) & window & ~flags;
        // Branch-free: whether a character matches is close to a coin toss.
        const std::uint64_t taken = free & (~free + 1);
        flags |= taken;
        b_matched_[counts.matches] = static_cast<char32_t>(b[j]);
        counts.matches += taken != 0;
    }
    if (counts.matches < need) return counts;
    std::size_t k = 0;
    for (std::uint64_t f = flags; f != 0; f &= f - 1) {
        counts.mismatched += a_[static_cast<std::size_t>(__builtin_ctzll(f))] != b_matched_[k++];
    }
    return counts;
}

template <class B>
Scorer::Counts Scorer::match_long(const B* b, std::size_t lb, std::size_t range, std::size_t need) {
    const std::size_t la = la_;
    const std::size_t end = std::min(lb, la + range);
    if (++gen_ == 0) {
        std::fill(cursor_gen_.begin(), cursor_gen_.end(), 0);
        gen_ = 1;
    }
    if (need > end) return {};
    const std::size_t reach = end - need;
    std::fill(a_flags_.begin(), a_flags_.end(), 0);
    Counts counts;
    for (std::size_t j = 0; j < end && counts.matches + reach >= j; ++j) {
        const std::uint32_t s = slot(b[j]);
        if (s == 0) continue;
        const std::size_t lo = j > range ? j - range : 0;
        const std::size_t hi = std::min(la, j + range + 1);
        std::size_t p = cursor_gen_[s] == gen_ ? cursor_[s] : pos_start_[s];
        cursor_gen_[s] = gen_;
        const std::size_t stop = pos_start_[s + 1];
        // Positions left behind the window are out of every later one too.
        while (p < stop && pos_[p] < lo) ++p;
        if (p < stop && pos_[p] < hi) {
            a_flags_[pos_[p] / kWord] |= std::uint64_t{1} << (pos_[p] % kWord);
            b_matched_[counts.matches++] = static_cast<char32_t>(b[j]);
            ++p;
        }
        cursor_[s] = p;
    }
    if (counts.matches < need) return counts;
    std::size_t k = 0;
    for (std::size_t w = 0; w < a_flags_.size(); ++w) {
        for (std::uint64_t f = a_flags_[w]; f != 0; f &= f - 1) {
            counts.mismatched +=
                a_[w * kWord + static_cast<std::size_t>(__builtin_ctzll(f))] != b_matched_[k++];
        }
    }
    return counts;
}

template <class B>
double Scorer::score(const B* b, std::size_t lb, std::size_t need) {
    const std::size_t la = la_;
    if (la == 0 && lb == 0) return 1.0;
    if (la == 0 || lb == 0) return need > 0 ? -1.0 : 0.0;
    const std::size_t half = std::max(la, lb) / 2;
    const std::size_t range = half > 0 ? half - 1 : 0;

    const Counts counts = la <= kWord ? match_short(b, lb, range, need) : match_long(b, lb, range, need);
    if (counts.matches < need) return -1.0;
    if (counts.matches == 0) return 0.0;
    return jaro_from_counts(counts.matches, counts.mismatched / 2, la, lb);
}

double Scorer::jaro(const unsigned char* b, std::size_t lb, std::size_t need) {
    return score(b, lb, need);
}

double Scorer::jaro(const char32_t* b, std::size_t lb, std::size_t need) {
    return score(b, lb, need);
}

void Scorer::jaro_batch(const unsigned char* const* b, std::size_t lb, const std::size_t* need,
                        double* out) {
    const std::size_t la = la_;
    if (lb == 0) {
        for (std::size_t q = 0; q < kBatch; ++q) out[q] = need[q] > 0 ? -1.0 : 0.0;
        return;
    }
    const std::size_t half = std::max(la, lb) / 2;
    const std::size_t range = half > 0 ? half - 1 : 0;
    const std::size_t end = std::min(lb, la + range);
    const std::size_t row = la + 1;
    char32_t* matched = batch_matched_.data();
    std::uint64_t flags[kBatch] = {};
    std::size_t count[kBatch] = {};
    // A name can still reach need[q] only while it has missed at most
    // end - need[q] of its positions; the scan stops once none can.
    std::size_t reach[kBatch];
    for (std::size_t q = 0; q < kBatch; ++q) reach[q] = end >= need[q] ? end - need[q] : 0;
    bool any = false;
    for (std::size_t q = 0; q < kBatch; ++q) any = any || end >= need[q];
    for (std::size_t j = 0; any && j < end; ++j) {
        const std::size_t lo = j > range ? j - range : 0;
        const std::size_t hi = std::min(la, j + range + 1);
        const std::uint64_t below_hi = hi == kWord ? ~std::uint64_t{0} : (std::uint64_t{1} << hi) - 1;
        const std::uint64_t window = below_hi & (~std::uint64_t{0} << lo);
#pragma GCC unroll 4
        for (std::size_t q = 0; q < kBatch; ++q) {
            const unsigned char c = b[q][j];
            const std::uint64_t free = low_mask_[c] & window & ~flags[q];
            const std::uint64_t taken = free & (~free + 1);
            flags[q] |= taken;
            matched[q * row + count[q]] = c;
            count[q] += taken != 0;
        }
        any = count[0] + reach[0] > j || count[1] + reach[1] > j || count[2] + reach[2] > j ||
              count[3] + reach[3] > j;
    }
    for (std::size_t q = 0; q < kBatch; ++q) {
        if (count[q] < need[q]) {
            out[q] = -1.0;
            continue;
        }
        if (count[q] == 0) {
            out[q] = 0.0;
            continue;
        }
        std::size_t k = 0;
        std::size_t mismatched = 0;
        for (std::uint64_t f = flags[q]; f != 0; f &= f - 1) {
            mismatched += a_[static_cast<std::size_t>(__builtin_ctzll(f))] != matched[q * row + k++];
        }
        out[q] = jaro_from_counts(count[q], mismatched / 2, la, lb);
    }
}

double jaro_winkler(std::string_view a, std::string_view b) {
    std::vector<char32_t> ca;
    std::vector<char32_t> cb;
    decode_utf8(a, ca);
    decode_utf8(b, cb);
    Scorer scorer;
    scorer.set(ca.data(), ca.size());
    const double sim = scorer.jaro(cb.data(), cb.size());
    return winkler(sim, common_prefix4(ca.data(), ca.size(), cb.data(), cb.size()));
}

}  // namespace tovik::dag::similarity

// Jaro-Winkler similarity over the code points of UTF-8 strings, with a
// scorer that prepares one name once and scores it against many others.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace tovik::dag::similarity {

// Prefix bonus for at most four characters, granted only above a Jaro score
// of 0.7.
double jaro_winkler(std::string_view a, std::string_view b);

// Bytes that do not form a valid UTF-8 sequence each become one value above
// the Unicode range, so equal bytes still compare equal.
void decode_utf8(std::string_view s, std::vector<char32_t>& out);

bool is_ascii(std::string_view s);

// The Jaro similarity from its counts. Every scorer ends here, so that equal
// counts give the same double whichever way they were found.
inline double jaro_from_counts(std::size_t matches, std::size_t transpositions, std::size_t la,
                               std::size_t lb) {
    const auto m = static_cast<double>(matches);
    return (m / static_cast<double>(la) + m / static_cast<double>(lb) +
            static_cast<double>(matches - transpositions) / m) /
           3.0;
}

double winkler(double sim, std::size_t prefix);

template <class A, class B>
std::size_t common_prefix4(const A* a, std::size_t la, const B* b, std::size_t lb) {
    std::size_t limit = la < lb ? la : lb;
    if (limit > 4) limit = 4;
    std::size_t p = 0;
    while (p < limit && static_cast<char32_t>(a[p]) == static_cast<char32_t>(b[p])) ++p;
    return p;
}

// The Jaro similarity of one name, the first argument, against many.
//
// Matching is greedy: each character of the first name takes the earliest
// unmatched equal character of the second within the window. Characters of
// different values never compete, and within one value both position lists
// only move forward, so the same pairs come out of a merge of the two lists
// from either side. The scorer walks the second name and, for each of its
// characters, takes the earliest free position of the first in the window:
// with one 64-bit mask per character value when the first name is at most 64
// characters long, and otherwise with a cursor into that value's position
// list. Either way a score costs about one step per character instead of one
// per character pair in the window.
class Scorer {
public:
    void set(const char32_t* a, std::size_t la);
    std::size_t size() const { return la_; }
    const char32_t* chars() const { return a_.data(); }

    // The Jaro similarity with b, or -1 when fewer than `need` characters
    // match (a bound has ruled the candidate out by then).
    double jaro(const unsigned char* b, std::size_t lb, std::size_t need = 0);
    double jaro(const char32_t* b, std::size_t lb, std::size_t need = 0);

    // The same for kBatch ASCII names of one length at once, for a first name
    // of 1 to 64 characters: each match waits on the one before it, and
    // independent names fill the wait.
    static constexpr std::size_t kBatch = 4;
    bool batches() const { return la_ > 0 && la_ <= kWord; }
    void jaro_batch(const unsigned char* const* b, std::size_t lb, const std::size_t* need, double* out);

private:
    static constexpr std::size_t kWord = 64;

    struct Counts {
        std::size_t matches = 0;
        std::size_t mismatched = 0;  // matched pairs out of order; not counted below `need`
    };
    template <class B>
    double score(const B* b, std::size_t lb, std::size_t need);
    template <class B>
    Counts match_short(const B* b, std::size_t lb, std::size_t range, std::size_t need);
    template <class B>
    Counts match_long(const B* b, std::size_t lb, std::size_t range, std::size_t need);

    // Slot of a character value of the first name: 1.. for those it holds,
    // 0 for the rest.
    std::uint32_t slot(unsigned char c) const { return low_slot_[c]; }
    std::uint32_t slot(char32_t c) const {
        if (c < 256) return low_slot_[c];
        const auto it = std::lower_bound(high_chars_.begin(), high_chars_.end(), c);
        if (it == high_chars_.end() || *it != c) return 0;
        return static_cast<std::uint32_t>(slots_ - high_chars_.size() + (it - high_chars_.begin()));
    }
    std::uint64_t short_mask(unsigned char c) const { return low_mask_[c]; }
    std::uint64_t short_mask(char32_t c) const {
        if (c < 256) return low_mask_[c];
        return high_chars_.empty() ? 0 : slot_mask_[slot(c)];
    }

    std::vector<char32_t> a_;
    std::size_t la_ = 0;
    std::array<std::uint32_t, 256> low_slot_{};
    std::vector<char32_t> high_chars_;  // sorted, the values above 255
    std::uint32_t slots_ = 0;           // distinct values plus one

    // Names of at most 64 characters: positions of each value as bits.
    std::array<std::uint64_t, 256> low_mask_{};
    std::vector<std::uint64_t> slot_mask_;  // by slot

    // Longer names: positions grouped by slot, a cursor into each group, and
    // a generation that makes the cursors of earlier candidates stale.
    std::vector<std::size_t> pos_;
    std::vector<std::size_t> pos_start_;  // slots_ + 1 entries
    std::vector<std::size_t> cursor_;
    std::vector<std::uint32_t> cursor_gen_;
    std::uint32_t gen_ = 0;

    std::vector<std::uint64_t> a_flags_;
    std::vector<char32_t> b_matched_;  // matched characters of b, in order
    std::vector<char32_t> batch_matched_;  // kBatch rows of la_ + 1
};

}  // namespace tovik::dag::similarity

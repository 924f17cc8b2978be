// UTF-8 decoding and the two character classes the core matches with: word
// characters (Alphabetic, Mark, Decimal_Number, Connector_Punctuation,
// Join_Control) and white space (White_Space), after the checked-in tables of
// unicode_tables.hpp, so that every build answers alike whatever libraries
// the machine has.
#pragma once

#include <cstddef>
#include <iterator>

#include "util/unicode_tables.hpp"

namespace tovik::unicode {

// Length of the well-formed character at p, 1 to 4, with its code point in cp;
// 0 for anything else: a stray continuation byte, a sequence cut short by end,
// an overlong form, a surrogate or a value above U+10FFFF. Callers that go on
// past a 0 take the lead byte alone as the ill-formed unit, so no character is
// read across it. Reads nothing at or past end; p < end.
inline std::size_t decode(const unsigned char* p, const unsigned char* end, char32_t& cp) {
    const char32_t b0 = p[0];
    if (b0 < 0x80) {
        cp = b0;
        return 1;
    }
    const auto avail = static_cast<std::size_t>(end - p);
    const auto cont = [p](std::size_t k) { return (p[k] & 0xC0) == 0x80; };
    if (b0 < 0xC2) return 0;
    if (b0 < 0xE0) {
        if (avail < 2 || !cont(1)) return 0;
        cp = ((b0 & 0x1F) << 6) | (p[1] & 0x3F);
        return 2;
    }
    if (b0 < 0xF0) {
        if (avail < 3 || !cont(1) || !cont(2)) return 0;
        cp = ((b0 & 0x0F) << 12) | (char32_t{p[1] & 0x3Fu} << 6) | (p[2] & 0x3F);
        return (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF)) ? 0 : 3;
    }
    if (b0 < 0xF5) {
        if (avail < 4 || !cont(1) || !cont(2) || !cont(3)) return 0;
        cp = ((b0 & 0x07) << 18) | (char32_t{p[1] & 0x3Fu} << 12) |
             (char32_t{p[2] & 0x3Fu} << 6) | (p[3] & 0x3F);
        return (cp < 0x10000 || cp > 0x10FFFF) ? 0 : 4;
    }
    return 0;
}

inline std::size_t decode(const char* p, const char* end, char32_t& cp) {
    return decode(reinterpret_cast<const unsigned char*>(p),
                  reinterpret_cast<const unsigned char*>(end), cp);
}

// cp must be at most U+10FFFF, as decode gives.
inline bool is_word(char32_t cp) {
    return (tables::kWordBlocks[tables::kWordBlockIndex[cp >> 8]][(cp >> 6) & 3] >> (cp & 63)) &
           1;
}

inline constexpr char32_t kLastSpace =
    tables::kSpaceRanges[std::size(tables::kSpaceRanges) - 1].last;
// Trimming from the end walks back over at most three bytes for a character.
static_assert(kLastSpace < 0x10000, "a white-space character takes four bytes");

inline bool is_space(char32_t cp) {
    if (cp > kLastSpace) return false;
    for (const auto& r : tables::kSpaceRanges)
        if (cp <= r.last) return cp >= r.first;
    return false;
}

}  // namespace tovik::unicode

// Jaro-Winkler similarity over the code points of UTF-8 strings, with the
// pieces the suggester reuses on texts it has already decoded.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstring>
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

// flags must hold la + lb bytes. Matches are greedy within the window and the
// transposition count is halved in integers, as the similarity is defined.
template <class A, class B>
double jaro(const A* a, std::size_t la, const B* b, std::size_t lb, unsigned char* flags) {
    if (la == 0 && lb == 0) return 1.0;
    if (la == 0 || lb == 0) return 0.0;
    const std::size_t half = std::max(la, lb) / 2;
    const std::size_t range = half > 0 ? half - 1 : 0;
    unsigned char* a_flags = flags;
    unsigned char* b_flags = flags + la;
    std::memset(flags, 0, la + lb);

    std::size_t matches = 0;
    for (std::size_t i = 0; i < la; ++i) {
        const std::size_t lo = i > range ? i - range : 0;
        const std::size_t hi = std::min(lb, i + range + 1);
        for (std::size_t j = lo; j < hi; ++j) {
            if (!b_flags[j] && static_cast<char32_t>(a[i]) == static_cast<char32_t>(b[j])) {
                a_flags[i] = 1;
                b_flags[j] = 1;
                ++matches;
                break;
            }
        }
    }
    if (matches == 0) return 0.0;

    std::size_t mismatched = 0;
    std::size_t k = 0;
    for (std::size_t i = 0; i < la; ++i) {
        if (!a_flags[i]) continue;
        while (!b_flags[k]) ++k;
        if (static_cast<char32_t>(a[i]) != static_cast<char32_t>(b[k])) ++mismatched;
        ++k;
    }
    const std::size_t transpositions = mismatched / 2;

    const auto m = static_cast<double>(matches);
    return (m / static_cast<double>(la) + m / static_cast<double>(lb) +
            static_cast<double>(matches - transpositions) / m) /
           3.0;
}

template <class A, class B>
std::size_t common_prefix4(const A* a, std::size_t la, const B* b, std::size_t lb) {
    const std::size_t limit = std::min({la, lb, std::size_t{4}});
    std::size_t p = 0;
    while (p < limit && static_cast<char32_t>(a[p]) == static_cast<char32_t>(b[p])) ++p;
    return p;
}

double winkler(double sim, std::size_t prefix);

}  // namespace tovik::dag::similarity

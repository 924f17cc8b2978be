#include "dag/similarity.hpp"

namespace tovik::dag::similarity {

void decode_utf8(std::string_view s, std::vector<char32_t>& out) {
    out.clear();
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    const std::size_t n = s.size();
    std::size_t i = 0;
    while (i < n) {
        const unsigned char b0 = p[i];
        if (b0 < 0x80) {
            out.push_back(b0);
            ++i;
            continue;
        }
        std::size_t len = 0;
        char32_t cp = 0;
        unsigned char lo = 0x80;
        unsigned char hi = 0xBF;
        if (b0 >= 0xC2 && b0 <= 0xDF) {
            len = 2;
            cp = b0 & 0x1F;
        } else if (b0 >= 0xE0 && b0 <= 0xEF) {
            len = 3;
            cp = b0 & 0x0F;
            if (b0 == 0xE0) lo = 0xA0;  // overlong
            if (b0 == 0xED) hi = 0x9F;  // surrogates
        } else if (b0 >= 0xF0 && b0 <= 0xF4) {
            len = 4;
            cp = b0 & 0x07;
            if (b0 == 0xF0) lo = 0x90;  // overlong
            if (b0 == 0xF4) hi = 0x8F;  // above U+10FFFF
        }
        bool ok = len != 0 && n - i >= len;
        for (std::size_t k = 1; ok && k < len; ++k) {
            const unsigned char b = p[i + k];
            const unsigned char first_lo = k == 1 ? lo : 0x80;
            const unsigned char first_hi = k == 1 ? hi : 0xBF;
            if (b < first_lo || b > first_hi) {
                ok = false;
            } else {
                cp = (cp << 6) | (b & 0x3F);
            }
        }
        if (ok) {
            out.push_back(cp);
            i += len;
        } else {
            out.push_back(0x110000 + b0);
            ++i;
        }
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

double jaro_winkler(std::string_view a, std::string_view b) {
    std::vector<char32_t> ca;
    std::vector<char32_t> cb;
    decode_utf8(a, ca);
    decode_utf8(b, cb);
    std::vector<unsigned char> flags(ca.size() + cb.size());
    const double sim = jaro(ca.data(), ca.size(), cb.data(), cb.size(), flags.data());
    return winkler(sim, common_prefix4(ca.data(), ca.size(), cb.data(), cb.size()));
}

}  // namespace tovik::dag::similarity

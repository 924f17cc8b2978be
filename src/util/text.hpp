// Text helpers shared by the compiler and the graph code. Everything works on
// UTF-8 bytes; white space means the Unicode White_Space property.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace tovik::text {

// Length in bytes of the white-space character that starts at s[i], or 0.
inline std::size_t ws_len_at(std::string_view s, std::size_t i) {
    const auto n = s.size() - i;
    const auto b0 = static_cast<unsigned char>(s[i]);
    if (b0 < 0x80) return (b0 >= 0x09 && b0 <= 0x0D) || b0 == 0x20;
    if (b0 == 0xC2 && n >= 2) {
        const auto b1 = static_cast<unsigned char>(s[i + 1]);
        return (b1 == 0x85 || b1 == 0xA0) ? 2 : 0;
    }
    if (n < 3) return 0;
    const auto b1 = static_cast<unsigned char>(s[i + 1]);
    const auto b2 = static_cast<unsigned char>(s[i + 2]);
    switch (b0) {
        case 0xE1:  // U+1680
            return (b1 == 0x9A && b2 == 0x80) ? 3 : 0;
        case 0xE2:
            if (b1 == 0x80)  // U+2000..U+200A, U+2028, U+2029, U+202F
                return ((b2 >= 0x80 && b2 <= 0x8A) || b2 == 0xA8 || b2 == 0xA9 || b2 == 0xAF) ? 3
                                                                                              : 0;
            return (b1 == 0x81 && b2 == 0x9F) ? 3 : 0;  // U+205F
        case 0xE3:  // U+3000
            return (b1 == 0x80 && b2 == 0x80) ? 3 : 0;
        default:
            return 0;
    }
}

// Length in bytes of the white-space character that ends just before s[end], or 0.
inline std::size_t ws_len_before(std::string_view s, std::size_t end) {
    for (std::size_t len = 1; len <= 3 && len <= end; ++len) {
        const auto b = static_cast<unsigned char>(s[end - len]);
        // Walk back to the lead byte of the last character before testing it.
        if (len < 3 && b >= 0x80 && b < 0xC0) continue;
        return ws_len_at(s, end - len) == len ? len : 0;
    }
    return 0;
}

inline std::string_view trim_start(std::string_view s) {
    std::size_t i = 0;
    while (i < s.size()) {
        const auto k = ws_len_at(s, i);
        if (k == 0) break;
        i += k;
    }
    return s.substr(i);
}

inline std::string_view trim_end(std::string_view s) {
    std::size_t end = s.size();
    while (end > 0) {
        const auto k = ws_len_before(s, end);
        if (k == 0) break;
        end -= k;
    }
    return s.substr(0, end);
}

inline std::string_view trim(std::string_view s) { return trim_end(trim_start(s)); }

// Calls f with each piece between occurrences of sep, empty pieces included.
template <typename F>
void for_each_piece(std::string_view s, char sep, F&& f) {
    for (std::size_t start = 0;;) {
        const auto pos = s.find(sep, start);
        f(s.substr(start, pos == std::string_view::npos ? pos : pos - start));
        if (pos == std::string_view::npos) return;
        start = pos + 1;
    }
}

}  // namespace tovik::text

// Text helpers shared by the compiler and the graph code. Everything works on
// UTF-8 bytes; white space means the Unicode White_Space property.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "util/unicode.hpp"

namespace tovik::text {

// Length in bytes of the white-space character that starts at s[i], or 0.
inline std::size_t ws_len_at(std::string_view s, std::size_t i) {
    const auto b0 = static_cast<unsigned char>(s[i]);
    if (b0 < 0x80) return (b0 >= 0x09 && b0 <= 0x0D) || b0 == 0x20;
    char32_t cp;
    const auto len = unicode::decode(s.data() + i, s.data() + s.size(), cp);
    return len != 0 && unicode::is_space(cp) ? len : 0;
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

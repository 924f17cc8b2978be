// Helpers shared by the fuzz targets: a property check that stops the run, and
// a white-space test written independently of the core's own, so that a fault
// there cannot hide itself.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "util/text.hpp"

namespace fuzz {

[[noreturn]] inline void violated(const char* what, const char* file, int line) {
    std::fprintf(stderr, "\n*** property violated: %s (%s:%d)\n", what, file, line);
    std::fflush(stderr);
    __builtin_trap();
}

#define FUZZ_CHECK(cond) \
    do { \
        if (!(cond)) ::fuzz::violated(#cond, __FILE__, __LINE__); \
    } while (0)

inline std::string_view as_text(const std::uint8_t* data, std::size_t size) {
    return {reinterpret_cast<const char*>(data), size};
}

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
inline bool valid_utf8(std::string_view s) {
    std::size_t i = 0;
    while (i < s.size()) {
        const auto b = static_cast<unsigned char>(s[i]);
        std::size_t n;
        std::uint32_t cp;
        if (b < 0x80) {
            ++i;
            continue;
        } else if (b >= 0xC2 && b <= 0xDF) {
            n = 1, cp = b & 0x1F;
        } else if (b >= 0xE0 && b <= 0xEF) {
            n = 2, cp = b & 0x0F;
        } else if (b >= 0xF0 && b <= 0xF4) {
            n = 3, cp = b & 0x07;
        } else {
            return false;
        }
        if (s.size() - i <= n) return false;
        for (std::size_t k = 1; k <= n; ++k) {
            const auto c = static_cast<unsigned char>(s[i + k]);
            if ((c & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (c & 0x3F);
        }
        if ((n == 2 && (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF))) ||
            (n == 3 && (cp < 0x10000 || cp > 0x10FFFF)))
            return false;
        i += n + 1;
    }
    return true;
}

inline bool is_white_space(std::uint32_t cp) {
    return (cp >= 0x09 && cp <= 0x0D) || cp == 0x20 || cp == 0x85 || cp == 0xA0 ||
           cp == 0x1680 || (cp >= 0x2000 && cp <= 0x200A) || cp == 0x2028 || cp == 0x2029 ||
           cp == 0x202F || cp == 0x205F || cp == 0x3000;
}

// Code point of a well-formed sequence of `len` bytes at s[i]; no validation.
inline std::uint32_t decode_at(std::string_view s, std::size_t i, std::size_t len) {
    const auto b = static_cast<unsigned char>(s[i]);
    if (len == 1) return b;
    std::uint32_t cp = b & (0x7F >> len);
    for (std::size_t k = 1; k < len; ++k) cp = (cp << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
    return cp;
}

inline std::size_t seq_len(unsigned char b) {
    return b < 0x80 ? 1 : b >= 0xF0 ? 4 : b >= 0xE0 ? 3 : b >= 0xC0 ? 2 : 1;
}

// Whether s opens or closes with a white-space character (s is valid UTF-8).
inline bool starts_with_space(std::string_view s) {
    if (s.empty()) return false;
    const auto len = seq_len(static_cast<unsigned char>(s[0]));
    return len <= s.size() && is_white_space(decode_at(s, 0, len));
}
inline bool ends_with_space(std::string_view s) {
    if (s.empty()) return false;
    std::size_t i = s.size() - 1;
    while (i > 0 && s.size() - i < 4 && (static_cast<unsigned char>(s[i]) & 0xC0) == 0x80) --i;
    const auto len = seq_len(static_cast<unsigned char>(s[i]));
    return i + len == s.size() && is_white_space(decode_at(s, i, len));
}

inline bool trimmed(std::string_view s) { return !starts_with_space(s) && !ends_with_space(s); }

// Splits at every occurrence of sep, keeping empty pieces.
inline std::vector<std::string_view> split(std::string_view s, char sep) {
    std::vector<std::string_view> out;
    tovik::text::for_each_piece(s, sep, [&](std::string_view piece) { out.push_back(piece); });
    return out;
}

inline std::size_t count(std::string_view hay, std::string_view needle) {
    std::size_t n = 0;
    for (auto pos = hay.find(needle); pos != std::string_view::npos; pos = hay.find(needle, pos + 1))
        ++n;
    return n;
}

inline bool is_suffix(std::string_view whole, std::string_view tail) {
    return tail.size() <= whole.size() && whole.substr(whole.size() - tail.size()) == tail;
}

}  // namespace fuzz

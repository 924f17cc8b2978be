// The hash of every map and set keyed by caller-chosen strings. Keyed with a
// seed drawn once per process, so keys chosen to collide cost what random
// keys cost, and nothing a caller sees may depend on the order it gives.
//
// The function is SipHash-1-3, the keyed hash that CPython and Rust use for
// the same purpose: short keys, where a stronger round count would cost more
// than the table look-up it serves. The rounds and the padding are checked at
// compile time against the published SipHash-2-4 vectors, which share them.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <string_view>
#include <type_traits>
#include <unordered_map>
#include <unordered_set>

namespace tovik::util {

struct HashKey {
    std::uint64_t k0, k1;
};

namespace detail {

// Drawn from the system's random source when the library is loaded; nothing
// hashes before that.
extern const HashKey g_hash_key;

constexpr std::uint64_t rotl(std::uint64_t x, int b) { return (x << b) | (x >> (64 - b)); }

constexpr std::uint64_t load_slow(const char* p, std::size_t n) {
    std::uint64_t w = 0;
    for (std::size_t i = 0; i < n; ++i)
        w |= static_cast<std::uint64_t>(static_cast<unsigned char>(p[i])) << (8 * i);
    return w;
}

inline std::uint64_t load_fixed(const char* p, std::size_t n) {
    std::uint64_t w = 0;
    std::memcpy(&w, p, n);
    if constexpr (std::endian::native == std::endian::big) w = __builtin_bswap64(w);
    return w;
}

// The n (0 to 8) bytes at p, little-endian; without a byte loop, since most
// keys are short and end in such a tail.
constexpr std::uint64_t load_le(const char* p, std::size_t n) {
    if (std::is_constant_evaluated()) return load_slow(p, n);
    if (n == 8) return load_fixed(p, 8);
    if (n >= 4) return load_fixed(p, 4) | (load_fixed(p + n - 4, 4) << (8 * (n - 4)));
    if (n == 0) return 0;
    const auto byte = [&](std::size_t i) {
        return static_cast<std::uint64_t>(static_cast<unsigned char>(p[i])) << (8 * i);
    };
    return byte(0) | byte(n >> 1) | byte(n - 1);
}

struct SipState {
    std::uint64_t v0, v1, v2, v3;
    constexpr void round() {
        v0 += v1; v1 = rotl(v1, 13); v1 ^= v0; v0 = rotl(v0, 32);
        v2 += v3; v3 = rotl(v3, 16); v3 ^= v2;
        v0 += v3; v3 = rotl(v3, 21); v3 ^= v0;
        v2 += v1; v1 = rotl(v1, 17); v1 ^= v2; v2 = rotl(v2, 32);
    }
};

}  // namespace detail

// SipHash-C-D of s under key.
template <int C, int D>
constexpr std::uint64_t siphash(const HashKey& key, std::string_view s) {
    detail::SipState st{key.k0 ^ 0x736f6d6570736575ull, key.k1 ^ 0x646f72616e646f6dull,
                        key.k0 ^ 0x6c7967656e657261ull, key.k1 ^ 0x7465646279746573ull};
    const char* p = s.data();
    const std::size_t n = s.size();
    const std::size_t whole = n & ~std::size_t{7};
    for (std::size_t i = 0; i < whole; i += 8) {
        const std::uint64_t m = detail::load_le(p + i, 8);
        st.v3 ^= m;
        for (int r = 0; r < C; ++r) st.round();
        st.v0 ^= m;
    }
    const std::uint64_t last = (static_cast<std::uint64_t>(n) << 56) | detail::load_le(p + whole, n - whole);
    st.v3 ^= last;
    for (int r = 0; r < C; ++r) st.round();
    st.v0 ^= last;
    st.v2 ^= 0xff;
    for (int r = 0; r < D; ++r) st.round();
    return st.v0 ^ st.v1 ^ st.v2 ^ st.v3;
}

namespace detail {
// The reference key 00 01 .. 0f and messages 00 01 .. (n-1) of the SipHash paper.
constexpr HashKey kVectorKey{0x0706050403020100ull, 0x0f0e0d0c0b0a0908ull};
constexpr char kVectorBytes[16] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
static_assert(siphash<2, 4>(kVectorKey, std::string_view(kVectorBytes, 0)) == 0x726fdb47dd0e0e31ull);
static_assert(siphash<2, 4>(kVectorKey, std::string_view(kVectorBytes, 15)) == 0xa129ca6149be45e5ull);
}  // namespace detail

inline std::size_t hash_bytes(std::string_view s) noexcept {
    return static_cast<std::size_t>(siphash<1, 3>(detail::g_hash_key, s));
}

// For std::unordered_map/set over std::string or std::string_view keys.
struct StringHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view s) const noexcept { return hash_bytes(s); }
    std::size_t operator()(const std::string& s) const noexcept { return hash_bytes(s); }
    std::size_t operator()(const char* s) const noexcept { return hash_bytes(s); }
};

// Sets and maps over owned names, looked up by any string type.
using StringSet = std::unordered_set<std::string, StringHash, std::equal_to<>>;
using ViewSet = std::unordered_set<std::string_view, StringHash, std::equal_to<>>;
template <typename V>
using StringMap = std::unordered_map<std::string, V, StringHash, std::equal_to<>>;

}  // namespace tovik::util

#ifdef __GLIBCXX__
// libstdc++ stores each element's hash in its node only for hashes it does not
// deem fast; this one is not, and without the stored hash every rehash and
// every chain step would hash again.
template <>
struct std::__is_fast_hash<tovik::util::StringHash> : std::false_type {};
#endif

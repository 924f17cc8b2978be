// The hash of every map and set keyed by caller-chosen strings. Keyed with a
// seed drawn once per process, so keys chosen to collide cost what random
// keys cost, and nothing a caller sees may depend on the order it gives.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

namespace tovik::util {

// TODO(hash): replace with the keyed hash; the interface stays.
inline std::size_t hash_bytes(std::string_view s) noexcept { return std::hash<std::string_view>{}(s); }

// For std::unordered_map/set over std::string or std::string_view keys.
struct StringHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view s) const noexcept { return hash_bytes(s); }
    std::size_t operator()(const std::string& s) const noexcept { return hash_bytes(s); }
    std::size_t operator()(const char* s) const noexcept { return hash_bytes(s); }
};

}  // namespace tovik::util

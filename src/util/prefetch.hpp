// Asking for memory ahead of its use, where a loop knows what it reads next
// and each read would otherwise wait for main memory.
#pragma once

#include <cstddef>
#include <string_view>

namespace tovik::util {

// Entries of a table below which asking ahead costs more than it saves: a
// table that small stays in the cache between passes anyway.
inline constexpr std::size_t kPrefetchFrom = std::size_t{1} << 16;

// How many items ahead of the current one a loop asks for: far enough for a
// miss to arrive, near enough for the line not to be evicted first.
inline constexpr std::size_t kPrefetchAhead = 8;

inline void prefetch(const void* p) { __builtin_prefetch(p); }

// The first bytes of a text that is read next, while the current one is
// worked on: the texts of a call lie apart, and each would otherwise start
// with a wait for memory.
inline void prefetch_text(std::string_view s) {
    constexpr std::size_t kLine = 64, kBytes = 1024;
    const std::size_t n = s.size() < kBytes ? s.size() : kBytes;
    for (std::size_t i = 0; i < n; i += kLine) __builtin_prefetch(s.data() + i);
}

}  // namespace tovik::util

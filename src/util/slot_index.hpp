// The index behind the flat maps: an open-addressing table of positions in a
// vector of entries that the map keeps itself. Slots hold a position plus
// one; at most half of them are taken, so a linear probe ends soon.
#pragma once

#include <cstddef>
#include <vector>

namespace tovik::util {

class SlotIndex {
public:
    static constexpr std::size_t kNone = static_cast<std::size_t>(-1);

    bool empty() const { return slots_.empty(); }
    // Whether one more entry than `count` would fill more than half the slots.
    bool full_for(std::size_t count) const { return 2 * (count + 1) > slots_.size(); }

    // The slot of the entry that `same(position)` accepts among those of hash h,
    // or the empty slot where such an entry would go.
    template <typename Same>
    std::size_t& slot(std::size_t h, Same&& same) {
        return slots_[probe(h, same)];
    }
    // The position of that entry, or kNone.
    template <typename Same>
    std::size_t find(std::size_t h, Same&& same) const {
        const std::size_t s = slots_[probe(h, same)];
        return s == 0 ? kNone : s - 1;
    }

    // Rebuilds with at least `at_least` slots (a power of two, `minimum` or
    // more) for the `count` entries whose hashes `hash_of(position)` gives.
    template <typename HashOf>
    void rebuild(std::size_t at_least, std::size_t minimum, std::size_t count, HashOf&& hash_of) {
        std::size_t n = minimum;
        while (n < at_least) n *= 2;
        slots_.assign(n, 0);
        for (std::size_t k = 0; k < count; ++k) {
            std::size_t i = hash_of(k) & (n - 1);
            while (slots_[i] != 0) i = (i + 1) & (n - 1);
            slots_[i] = k + 1;
        }
    }

private:
    template <typename Same>
    std::size_t probe(std::size_t h, Same& same) const {
        const std::size_t mask = slots_.size() - 1;
        for (std::size_t i = h & mask;; i = (i + 1) & mask) {
            const std::size_t s = slots_[i];
            if (s == 0 || same(s - 1)) return i;
        }
    }

    std::vector<std::size_t> slots_;
};

}  // namespace tovik::util

// A map from borrowed names to values, filled once and then only read: two
// flat arrays instead of a node per entry, since a call may fill one with
// hundreds of entries and look up only a few of them.
#pragma once

#include <cstddef>
#include <string_view>
#include <utility>
#include <vector>

#include "util/hash.hpp"

namespace tovik::util {

template <typename V>
class ViewMap {
public:
    void reserve(std::size_t n) {
        entries_.reserve(n);
        if (2 * n > slots_.size()) rehash(2 * n);
    }

    // A name given twice keeps the later value, as a map assignment does.
    void insert_or_assign(std::string_view key, V value) {
        if (2 * (entries_.size() + 1) > slots_.size()) rehash(2 * (entries_.size() + 1));
        const std::size_t h = hash(key);
        std::size_t& slot = slots_[probe(key, h)];
        if (slot != 0) {
            entries_[slot - 1].value = std::move(value);
            return;
        }
        entries_.push_back({key, h, std::move(value)});
        slot = entries_.size();
    }

    const V* find(std::string_view key) const {
        if (entries_.empty()) return nullptr;
        const std::size_t slot = slots_[probe(key, hash(key))];
        return slot == 0 ? nullptr : &entries_[slot - 1].value;
    }
    bool contains(std::string_view key) const { return find(key) != nullptr; }
    std::size_t size() const { return entries_.size(); }
    bool empty() const { return entries_.empty(); }

private:
    struct Entry {
        std::string_view key;
        std::size_t hash;
        V value;
    };

    static std::size_t hash(std::string_view key) { return hash_bytes(key); }

    // The place of the slot that holds key, or of the empty one where it would
    // go. Slots hold an entry's index plus one; at most half of them are taken.
    std::size_t probe(std::string_view key, std::size_t h) const {
        const std::size_t mask = slots_.size() - 1;
        for (std::size_t i = h & mask;; i = (i + 1) & mask) {
            const std::size_t slot = slots_[i];
            if (slot == 0) return i;
            const Entry& e = entries_[slot - 1];
            if (e.hash == h && e.key == key) return i;
        }
    }

    void rehash(std::size_t at_least) {
        std::size_t n = 16;
        while (n < at_least) n *= 2;
        slots_.assign(n, 0);
        for (std::size_t k = 0; k < entries_.size(); ++k) {
            std::size_t i = entries_[k].hash & (n - 1);
            while (slots_[i] != 0) i = (i + 1) & (n - 1);
            slots_[i] = k + 1;
        }
    }

    std::vector<Entry> entries_;
    std::vector<std::size_t> slots_;
};

}  // namespace tovik::util

// A map from borrowed names to values, filled once and then only read: two
// flat arrays instead of a node per entry, since a call may fill one with
// hundreds of entries and look up only a few of them.
#pragma once

#include <cstddef>
#include <string_view>
#include <utility>
#include <vector>

#include "util/hash.hpp"
#include "util/slot_index.hpp"

namespace tovik::util {

template <typename V>
class ViewMap {
public:
    void reserve(std::size_t n) {
        entries_.reserve(n);
        if (n > 0 && index_.full_for(n - 1)) rehash(2 * n);
    }

    // A name given twice keeps the later value, as a map assignment does.
    void insert_or_assign(std::string_view key, V value) {
        if (index_.full_for(entries_.size())) rehash(2 * (entries_.size() + 1));
        const std::size_t h = hash_bytes(key);
        std::size_t& slot = index_.slot(h, same(key, h));
        if (slot != 0) {
            entries_[slot - 1].value = std::move(value);
            return;
        }
        entries_.push_back({key, h, std::move(value)});
        slot = entries_.size();
    }

    const V* find(std::string_view key) const {
        if (entries_.empty()) return nullptr;
        const std::size_t h = hash_bytes(key);
        const std::size_t k = index_.find(h, same(key, h));
        return k == SlotIndex::kNone ? nullptr : &entries_[k].value;
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

    auto same(std::string_view key, std::size_t h) const {
        return [this, key, h](std::size_t k) {
            return entries_[k].hash == h && entries_[k].key == key;
        };
    }

    void rehash(std::size_t at_least) {
        index_.rebuild(at_least, 16, entries_.size(),
                       [this](std::size_t k) { return entries_[k].hash; });
    }

    std::vector<Entry> entries_;
    SlotIndex index_;
};

}  // namespace tovik::util

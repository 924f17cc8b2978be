// A map from owned names to values that iterates in the order the names were
// first given, whatever the hash's seed: the caller's dict order, or the
// order of a text. Used where the order reaches a result that callers compare
// across runs (front matter, variables, tags).
#pragma once

#include <cstddef>
#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "util/hash.hpp"
#include "util/slot_index.hpp"

namespace tovik::util {

template <typename V>
class OrderedMap {
public:
    using key_type = std::string;
    using mapped_type = V;
    using value_type = std::pair<std::string, V>;
    using iterator = typename std::vector<value_type>::iterator;
    using const_iterator = typename std::vector<value_type>::const_iterator;

    OrderedMap() = default;
    OrderedMap(std::initializer_list<value_type> init) {
        for (const auto& e : init) insert_or_assign(e.first, e.second);
    }

    void reserve(std::size_t n) { entries_.reserve(n); }
    std::size_t size() const { return entries_.size(); }
    bool empty() const { return entries_.empty(); }

    // Keys must not be changed through an iterator: the index holds them.
    iterator begin() { return entries_.begin(); }
    iterator end() { return entries_.end(); }
    const_iterator begin() const { return entries_.begin(); }
    const_iterator end() const { return entries_.end(); }

    const_iterator find(std::string_view key) const {
        const std::size_t i = index_of(key);
        return i == kNone ? end() : begin() + static_cast<std::ptrdiff_t>(i);
    }
    iterator find(std::string_view key) {
        const std::size_t i = index_of(key);
        return i == kNone ? end() : begin() + static_cast<std::ptrdiff_t>(i);
    }
    std::size_t count(std::string_view key) const { return index_of(key) == kNone ? 0 : 1; }
    bool contains(std::string_view key) const { return index_of(key) != kNone; }

    // A key given again keeps its first place and takes the new value, as a
    // Python dict does.
    template <typename M>
    std::pair<iterator, bool> insert_or_assign(std::string key, M&& value) {
        auto [it, added] = emplace_key(std::move(key));
        it->second = std::forward<M>(value);
        return {it, added};
    }
    // A key given again keeps its value.
    template <typename M>
    std::pair<iterator, bool> emplace(std::string key, M&& value) {
        auto [it, added] = emplace_key(std::move(key));
        if (added) it->second = std::forward<M>(value);
        return {it, added};
    }
    V& operator[](std::string key) { return emplace_key(std::move(key)).first->second; }

private:
    static constexpr std::size_t kNone = SlotIndex::kNone;
    // Up to this many entries a scan beats hashing the key: the usual front
    // matter or variable map never builds the index.
    static constexpr std::size_t kScanned = 8;

    std::size_t index_of(std::string_view key) const {
        if (index_.empty()) {
            for (std::size_t i = 0; i < entries_.size(); ++i)
                if (entries_[i].first == key) return i;
            return kNone;
        }
        const std::size_t h = hash_bytes(key);
        return index_.find(h, same(key, h));
    }

    std::pair<iterator, bool> emplace_key(std::string key) {
        if (index_.empty() && entries_.size() < kScanned) {
            if (const std::size_t i = index_of(key); i != kNone)
                return {begin() + static_cast<std::ptrdiff_t>(i), false};
            entries_.emplace_back(std::move(key), V{});
            return {end() - 1, true};
        }
        if (index_.empty() || index_.full_for(entries_.size())) rehash(2 * (entries_.size() + 1));
        const std::size_t h = hash_bytes(key);
        std::size_t& slot = index_.slot(h, same(key, h));
        if (slot != 0) return {begin() + static_cast<std::ptrdiff_t>(slot - 1), false};
        entries_.emplace_back(std::move(key), V{});
        hashes_.push_back(h);
        slot = entries_.size();
        return {end() - 1, true};
    }

    auto same(std::string_view key, std::size_t h) const {
        return [this, key, h](std::size_t k) {
            return hashes_[k] == h && entries_[k].first == key;
        };
    }

    void rehash(std::size_t at_least) {
        if (hashes_.size() < entries_.size()) {
            hashes_.reserve(entries_.size() + 1);
            for (std::size_t k = hashes_.size(); k < entries_.size(); ++k)
                hashes_.push_back(hash_bytes(entries_[k].first));
        }
        index_.rebuild(at_least, 32, entries_.size(), [this](std::size_t k) { return hashes_[k]; });
    }

    std::vector<value_type> entries_;
    std::vector<std::size_t> hashes_;  // of entries_, once the index exists
    SlotIndex index_;                  // empty while entries_ is scanned
};

}  // namespace tovik::util

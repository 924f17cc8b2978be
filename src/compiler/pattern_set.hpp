// Which of many fixed patterns occur in a text, found in one scan whatever
// their number (an Aho-Corasick automaton). Substitution uses it for maps
// whose keys hold braces, where a pass must otherwise search the text once
// per written form.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "util/interrupt.hpp"

namespace tovik::compiler::pattern_set {

class PatternSet {
public:
    // Adds a non-empty pattern under `id`; one pattern may carry several ids.
    // The pattern's bytes must outlive build().
    void add(std::string_view pattern, std::uint32_t id) { added_.push_back({pattern, id}); }

    // Builds the automaton; no add() after it.
    void build();

    // Calls found(id) once for each id whose pattern occurs in `text`.
    // Returns the bytes' worth of work done (for the caller's work count).
    template <typename Found>
    std::uint64_t scan(std::string_view text, Found&& found);

private:
    std::uint32_t child(std::uint32_t node, unsigned char c) const {
        const std::uint32_t* b = edge_to_.data();
        std::uint32_t lo = first_edge_[node], hi = first_edge_[node + 1];
        while (lo < hi) {
            const std::uint32_t mid = (lo + hi) / 2;
            const unsigned char m = edge_byte_[mid];
            if (m == c) return b[mid];
            if (m < c)
                lo = mid + 1;
            else
                hi = mid;
        }
        return kNone;
    }

    static constexpr std::uint32_t kNone = 0xFFFFFFFFu;
    // Work per byte scanned, in units of a byte copied.
    static constexpr std::uint64_t kScanWork = 160, kDfaWork = 64;
    // Automata up to this many nodes get a full transition table (256 entries
    // a node): a scan then costs a load a byte instead of a search.
    static constexpr std::uint32_t kDfaNodes = 4096;
    // A table entry: the node, with this bit set when it carries ids.
    static constexpr std::uint16_t kReports = 0x8000, kNodeMask = 0x7FFF;
    static constexpr std::size_t kPollMask = (std::size_t{1} << 20) - 1;

    struct Added {
        std::string_view pattern;
        std::uint32_t id;
    };
    std::vector<Added> added_;
    // Outputs: per node the head of a list of ids.
    std::vector<std::uint32_t> out_head_;
    std::vector<std::uint32_t> out_id_, out_next_;

    // After build.
    std::vector<std::uint32_t> first_edge_;
    std::vector<unsigned char> edge_byte_;
    std::vector<std::uint32_t> edge_to_;
    std::vector<std::uint32_t> fail_, dict_;  // dict_: nearest proper suffix node with ids
    std::vector<std::uint64_t> seen_;         // scan epoch in which a node was reported
    std::vector<std::uint16_t> dfa_;          // node * 256 + byte -> node, when small
    std::uint64_t epoch_ = 0;
    bool built_ = false;
};

template <typename Found>
std::uint64_t PatternSet::scan(std::string_view text, Found&& found) {
    ++epoch_;
    std::uint32_t s = 0;
    auto report = [&](std::uint32_t u) {
        // A node reported in this scan had its whole suffix chain reported
        // with it, so the walk stops at the first one.
        while (u != 0 && seen_[u] != epoch_) {
            seen_[u] = epoch_;
            for (std::uint32_t o = out_head_[u]; o != kNone; o = out_next_[o]) found(out_id_[o]);
            u = dict_[u];
        }
    };
    if (!dfa_.empty()) {
        std::uint16_t d = 0;
        for (std::size_t i = 0; i < text.size(); ++i) {
            if ((i & kPollMask) == kPollMask) util::work(kPollMask + 1);
            d = dfa_[(static_cast<std::size_t>(d & kNodeMask) << 8) | static_cast<unsigned char>(text[i])];
            if (d & kReports) [[unlikely]] {
                s = d & kNodeMask;
                report(out_head_[s] != kNone ? s : dict_[s]);
            }
        }
        return kDfaWork * static_cast<std::uint64_t>(text.size());
    }
    for (std::size_t i = 0; i < text.size(); ++i) {
        if ((i & kPollMask) == kPollMask) util::work(kPollMask + 1);
        const auto c = static_cast<unsigned char>(text[i]);
        for (;;) {
            const std::uint32_t t = child(s, c);
            if (t != kNone) {
                s = t;
                break;
            }
            if (s == 0) break;
            s = fail_[s];
        }
        report(out_head_[s] != kNone ? s : dict_[s]);
    }
    return kScanWork * static_cast<std::uint64_t>(text.size());
}

}  // namespace tovik::compiler::pattern_set

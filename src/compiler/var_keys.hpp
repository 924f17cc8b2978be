// The substitution map's keys and what follows from them alone: which keys a
// "{{content}}" spot spells, the placeholders each value holds, the order of
// the map, whether a value can form a spot across its edges, and the written
// forms. The passes and the runaway proofs both read it; it is built once per
// map and never changes with the text.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "compiler/replace.hpp"
#include "util/hash.hpp"
#include "util/interrupt.hpp"

namespace tovik::compiler::substitution {

using VarEntries = std::vector<std::pair<std::string_view, std::string_view>>;

// Work counted for each candidate spot a scan looks at, besides its bytes.
inline constexpr std::uint64_t kStopWork = 128;

// Walks the "{{content}}" spans of a text whose content is brace-free and at most
// max_content bytes long, left to right.
class SpotCursor {
public:
    SpotCursor(std::string_view s, std::size_t max_content) : s_(s), max_(max_content) {}

    bool next() {
        const std::size_t n = s_.size();
        while (i_ + 1 < n) {
            ++stops;
            // Brace-dense text may hold no spot for megabytes.
            if (i_ >= poll_at_) [[unlikely]] {
                util::work(i_ + kPollBytes - poll_at_);
                poll_at_ = i_ + kPollBytes;
            }
            const char* hit = replace::find_byte(s_.data() + i_, '{', n - i_);
            if (hit == nullptr) break;
            const auto a = static_cast<std::size_t>(hit - s_.data());
            if (a + 1 >= n) break;
            if (s_[a + 1] != '{') {
                i_ = a + 2;
                continue;
            }
            const std::size_t c = a + 2;
            const std::size_t stop = std::min(n, c + max_ + 1);
            std::size_t j = c;
            while (j < stop && s_[j] != '{' && s_[j] != '}') ++j;
            if (j + 1 < n && s_[j] == '}' && s_[j + 1] == '}' && j - c <= max_) {
                start = a;
                end = j + 2;
                content = std::string_view(s_.data() + c, j - c);
                i_ = j + 2;
                return true;
            }
            i_ = a + 1;
        }
        i_ = n;
        return false;
    }

    std::size_t start = 0, end = 0;
    std::string_view content;
    // Candidates looked at: in brace-dense text each costs several bytes' work.
    std::uint64_t stops = 0;

private:
    static constexpr std::size_t kPollBytes = std::size_t{1} << 20;
    std::string_view s_;
    std::size_t max_;
    std::size_t i_ = 0;
    std::size_t poll_at_ = kPollBytes;
};

// The keys whose written form a spot's content spells: the content itself
// (brace-less form) and the content without its padding spaces (spaced form).
struct KeyHit {
    std::int64_t plain = -1, spaced = -1;
    bool any() const { return plain >= 0 || spaced >= 0; }
};

struct InnerRef {
    std::uint32_t key;
    bool spaced;
};

class KeyMap {
public:
    explicit KeyMap(VarEntries entries);

    // The map in the order the passes use; keys are numbered in this order.
    const VarEntries& entries() const { return e_; }
    std::size_t size() const { return e_.size(); }
    bool has_key(std::string_view key) const { return index_.count(key) != 0; }

    // No key holds a brace: every written form is then a spot, and spots never
    // overlap.
    bool brace_free() const { return brace_free_; }
    // Some key equals another one padded with a space on each side, so one spot
    // may be the written form of both.
    bool padded_twin() const { return padded_twin_; }
    // The longest content of a spot that spells a key.
    std::size_t max_content() const { return max_content_; }

    KeyHit keys_of(std::string_view content);

    // The key spots of each value, brace-free keys only; inner() is valid once
    // find_inner() has run.
    void find_inner();
    bool inner_found() const { return inner_done_; }
    const std::vector<std::vector<InnerRef>>& inner() const { return inner_; }

    // Puts every key after the keys whose placeholders its value holds, where
    // the dependencies allow; needs find_inner().
    void dependency_order();

    // Whether no spot can cross an edge of value k once it is inserted; for
    // brace-free keys only.
    bool edge_safe(std::size_t k) const { return edge_safe_[k]; }

    // The written forms of each key, "{{ k }}" and "{{k}}", made on first use.
    const std::vector<std::pair<std::string, std::string>>& forms();

private:
    void build_index();
    static std::uint64_t length_bit(std::size_t n) {
        return std::uint64_t{1} << std::min<std::size_t>(n, 63);
    }

    VarEntries e_;
    std::unordered_map<std::string_view, std::uint32_t, util::StringHash> index_;
    std::uint64_t lengths_ = 0;  // length_bit of every key
    bool brace_free_ = true;
    bool padded_twin_ = false;
    std::size_t max_content_ = 0;
    std::vector<std::vector<InnerRef>> inner_;
    bool inner_done_ = false;
    std::vector<char> edge_safe_;
    std::vector<std::pair<std::string, std::string>> forms_;
    // Runs of one placeholder are common, so the last answer is kept.
    bool cache_valid_ = false;
    std::string cache_content_;
    KeyHit cache_hit_;
};

// Called for every spot of every pass: kept where the passes can inline it.
inline KeyHit KeyMap::keys_of(std::string_view content) {
    using replace::same_bytes;
    if (cache_valid_ && same_bytes(content, cache_content_)) return cache_hit_;
    KeyHit h;
    // Most contents have the length of no key, and a hash costs more than the test.
    if (lengths_ & length_bit(content.size()))
        if (auto it = index_.find(content); it != index_.end()) h.plain = it->second;
    if (content.size() >= 2 && content.front() == ' ' && content.back() == ' ' &&
        (lengths_ & length_bit(content.size() - 2)))
        if (auto it = index_.find(content.substr(1, content.size() - 2)); it != index_.end())
            h.spaced = it->second;
    cache_content_.assign(content);
    cache_hit_ = h;
    cache_valid_ = true;
    return h;
}

}  // namespace tovik::compiler::substitution

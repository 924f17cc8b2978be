// The {{ var }} substitution passes: a one-scan pass where it provably equals
// the sequential one, and bounds with proofs for maps that make the text run
// away (runaway.cpp).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "compiler/pattern_set.hpp"
#include "compiler/replace.hpp"
#include "compiler/scanner.hpp"
#include "util/hash.hpp"
#include "util/interrupt.hpp"

namespace tovik::compiler::substitution {

using VarEntries = std::vector<std::pair<std::string_view, std::string_view>>;

struct Limits {
    std::size_t size = replace::text_size_bound();  // bytes the text may hold after any replacement
    // Bytes the passes may scan and build, besides kWorkPerByte for each byte of
    // the text they start from: a few seconds of work on this kind of machine
    // for a text of a few megabytes, however the keys and values are made.
    std::uint64_t work = std::uint64_t{1} << 37;
    std::uint64_t first_try = std::uint64_t{1} << 26;  // work before the first proof attempt
    std::size_t window = std::size_t{64} << 10;   // smallest prefix the proofs follow
};

// Work allowed per byte of the text that the passes start from, on top of
// Limits::work, so that a large text may still take its few passes.
inline constexpr std::uint64_t kWorkPerByte = 16;

// Work counted for a pass or a replacement besides the bytes it touches.
inline constexpr std::uint64_t kStepWork = 64;

// Work counted for each candidate spot a scan looks at, besides its bytes.
inline constexpr std::uint64_t kStopWork = 128;

struct SubstitutionRun {
    std::uint64_t passes = 0;       // passes counted as the sequential algorithm counts them
    std::optional<std::string> leftover;  // set when the outcome was proven without the full run
};

// Brent's search for a pass text that repeats an earlier one, keeping one saved
// text. Once one repeats, the passes are periodic and only those short of whole
// periods still matter: see() then cuts `limit` down to them and returns true.
class PeriodFinder {
public:
    // Adds the bytes compared or copied to `work`.
    bool see(const std::string& text, std::uint64_t done, std::uint64_t& limit,
             std::uint64_t& work) {
        if (have_ && text.size() == saved_.size()) work += text.size();
        if (!have_) {
            work += text.size();
            saved_ = text;
            saved_at_ = done;
            have_ = true;
        } else if (text == saved_) {
            limit = done + (limit - done) % (done - saved_at_);
            have_ = false;
            power_ = 1;
            return true;
        } else if (done - saved_at_ == power_) {
            work += text.size();
            saved_ = text;
            saved_at_ = done;
            power_ *= 2;
        }
        return false;
    }

private:
    std::string saved_;
    std::uint64_t saved_at_ = 0, power_ = 1;
    bool have_ = false;
};

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

struct InnerRef {
    std::uint32_t key;
    bool spaced;
};

// The passes for one substitution map, reusable on any number of texts.
class Substituter {
public:
    // The entries may be put in another order, one in which the one-scan pass
    // applies more often; order() tells which.
    Substituter(VarEntries entries, const Limits& limits);

    // Runs the substitution passes over `text` in place, at most `limit` of them.
    // When the run would be too large, the outcome may be proven otherwise (then
    // `leftover` is set and `text` is wherever the run stopped); failing that,
    // SizeLimitExceeded is thrown.
    SubstitutionRun run(std::string& text, std::uint64_t limit, std::string_view model_name);

    // The map order the runs use.
    const VarEntries& order() const { return e_; }

    // What the first pass puts in place of the spot "{{content}}", when that
    // pass is a one-scan splice and the value holds no brace; null otherwise.
    // A text whose spots all get a value here and that holds no other "{{"
    // is done after that pass: its result holds no spot, and no leftover.
    const std::string_view* brace_free_value(std::string_view content) {
        if (!fast_) return nullptr;
        const KeyHit h = keys_of(content);
        if (!h.any()) return nullptr;
        const auto k = static_cast<std::size_t>(h.spaced >= 0 ? h.spaced : h.plain);
        return value_brace_free_[k] ? &e_[k].second : nullptr;
    }

private:
    enum class Step { Changed, Same, Over };

    // The keys whose written form a spot's content spells: the content itself
    // (brace-less form) and the content without its padding spaces (spaced form).
    struct KeyHit {
        std::int64_t plain = -1, spaced = -1;
        bool any() const { return plain >= 0 || spaced >= 0; }
    };

    // A key spot of the text that run() was given.
    struct Spot {
        std::size_t start, end;
        KeyHit hit;
    };

    void build_index();
    KeyHit keys_of(std::string_view content);
    void compute_inner();
    void dependency_order();
    Step step(std::string& text);
    bool fast_pass(const std::string& text);
    void mark_present(std::string_view text, bool keep_spots = false);
    bool sequential_pass(std::string& text);
    void ensure_patterns();
    void mark_braced(std::string_view text);

    // runaway.cpp
    static SubstitutionRun decided(SubstitutionRun& res, std::uint64_t passes, std::string name);
    SubstitutionRun give_up(const std::string& text, std::uint64_t remaining, std::uint64_t passes,
                            SubstitutionRun& res);
    std::optional<std::string> prove(const std::string& text, std::uint64_t remaining);
    bool word_name(std::string_view k) const;
    std::vector<char> closed_set();
    std::optional<std::string> one_name(const std::string& text);
    bool open_span_at(std::string_view w, std::size_t p) const;
    void close_prefix(std::string& w) const;
    static bool replace_prefix(std::string& w, std::string_view pat, std::string_view rep,
                               std::size_t keep, std::string& out);
    std::optional<std::string> prefix_leftover(std::string_view text, std::uint64_t remaining,
                                               std::size_t window, std::uint64_t budget);

    VarEntries e_;
    std::string_view model_;
    Limits limits_;
    std::unordered_map<std::string_view, std::uint32_t, util::StringHash> index_;
    std::uint64_t lengths_ = 0;  // length_bit of every key
    static std::uint64_t length_bit(std::size_t n) {
        return std::uint64_t{1} << std::min<std::size_t>(n, 63);
    }
    bool brace_free_ = true;
    bool conflict_ = false;
    bool fast_ = false;
    std::size_t max_content_ = 0;
    std::vector<std::vector<InnerRef>> inner_;
    bool inner_done_ = false;
    std::vector<char> ok_, edge_safe_;
    std::vector<char> value_brace_free_;  // such a value holds no spot, so ok_ holds for it
    std::vector<std::int64_t> inner_growth_;  // size change when a value's own spots are replaced
    std::vector<std::pair<std::string, std::string>> patterns_;
    std::optional<pattern_set::PatternSet> braced_;  // all written forms, for keys with braces
    bool braced_too_large_ = false;
    static constexpr std::size_t kMaxAutomatonBytes = std::size_t{16} << 20;
    std::vector<std::uint64_t> stamp_plain_, stamp_spaced_;
    std::uint64_t epoch_ = 0;
    bool cache_valid_ = false;
    std::string cache_content_;
    KeyHit cache_hit_;

    std::size_t bound_ = 0;
    std::uint64_t work_ = 0, next_try_ = 0;
    std::uint64_t work_bound_ = 0;  // of the current run
    bool has_spots_ = false;
    std::size_t next_size_ = 0;  // size of the next one-scan pass's result, 0 if unknown
    // The key spots that mark_present found in the text of a run's first pass,
    // valid until that pass takes them.
    std::vector<Spot> spots_;
    bool spots_kept_ = false;
    std::string next_;
};

}  // namespace tovik::compiler::substitution

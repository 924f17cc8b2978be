// The {{ var }} substitution passes: a one-scan pass where it provably equals
// the sequential one, the sequential pass otherwise, and the bounds, with the
// proofs of runaway.hpp for maps that make the text run away.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "compiler/pattern_set.hpp"
#include "compiler/replace.hpp"
#include "compiler/runaway.hpp"
#include "compiler/var_keys.hpp"

namespace tovik::compiler::substitution {

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

struct SubstitutionRun {
    std::uint64_t passes = 0;       // passes counted as the sequential algorithm counts them
    std::optional<std::string> leftover;  // set when the outcome was proven without the full run
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
    const VarEntries& order() const { return keys_.entries(); }

    // What the first pass puts in place of the spot "{{content}}", when that
    // pass is a one-scan splice and the value holds no brace; null otherwise.
    // A text whose spots all get a value here and that holds no other "{{"
    // is done after that pass: its result holds no spot, and no leftover.
    const std::string_view* brace_free_value(std::string_view content) {
        if (!fast_) return nullptr;
        const KeyHit h = keys_.keys_of(content);
        if (!h.any()) return nullptr;
        const auto k = static_cast<std::size_t>(h.spaced >= 0 ? h.spaced : h.plain);
        return value_brace_free_[k] ? &keys_.entries()[k].second : nullptr;
    }

private:
    enum class Step { Changed, Same, Over };

    // A key spot of the text that run() was given.
    struct Spot {
        std::size_t start, end;
        KeyHit hit;
    };

    Step step(std::string& text);
    bool fast_pass(const std::string& text);
    void mark_present(std::string_view text, bool keep_spots = false);
    bool sequential_pass(std::string& text);
    void mark_braced(std::string_view text);
    SubstitutionRun give_up(const std::string& text, std::uint64_t remaining, std::uint64_t passes,
                            SubstitutionRun& res);
    std::optional<std::string> prove(const std::string& text, std::uint64_t remaining);

    KeyMap keys_;
    std::string_view model_;
    Limits limits_;
    bool fast_ = false;
    std::vector<char> ok_;
    std::vector<char> value_brace_free_;  // such a value holds no spot, so ok_ holds for it
    std::vector<std::int64_t> inner_growth_;  // size change when a value's own spots are replaced
    std::optional<pattern_set::PatternSet> braced_;  // all written forms, for keys with braces
    bool braced_too_large_ = false;
    static constexpr std::size_t kMaxAutomatonBytes = std::size_t{16} << 20;
    std::vector<std::uint64_t> stamp_plain_, stamp_spaced_;
    std::uint64_t epoch_ = 0;

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

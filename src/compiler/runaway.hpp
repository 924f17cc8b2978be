// What keeps a runaway substitution in bounds: a value holding placeholders can
// make the text grow on every pass, exponentially when a placeholder comes back
// twice, and the pass limit may be as high as 2^64 - 1. PeriodFinder notices
// when the passes repeat themselves; the proofs of Runaway decide the outcome
// without the full run once it grows heavy or hits a bound (runaway.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "compiler/var_keys.hpp"

namespace tovik::compiler::substitution {

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

// The proofs, for one attempt on one text of a run over brace-free keys.
class Runaway {
public:
    // `work` is what the run has done so far, and grows by what the proofs
    // do; `work_bound` is the run's own; `window` the smallest prefix that the
    // prefix proof follows.
    Runaway(KeyMap& keys, std::uint64_t& work, std::uint64_t work_bound, std::size_t window)
        : keys_(keys), work_(work), work_bound_(work_bound), window_(window) {}

    // The outcome of running `remaining` more passes on `text`, when one of
    // the proofs decides it: the name of the leftover placeholder. Costs a
    // fraction of the work done so far.
    std::optional<std::string> prove(const std::string& text, std::uint64_t remaining);

private:
    std::vector<char> closed_set();
    std::optional<std::string> one_name(const std::string& text);
    bool open_span_at(std::string_view w, std::size_t p) const;
    void close_prefix(std::string& w) const;
    static bool replace_prefix(std::string& w, std::string_view pat, std::string_view rep,
                               std::size_t keep, std::string& out);
    std::optional<std::string> prefix_leftover(std::string_view text, std::uint64_t remaining,
                                               std::size_t window, std::uint64_t budget);

    KeyMap& keys_;
    std::uint64_t& work_;
    std::uint64_t work_bound_;
    std::size_t window_;
};

}  // namespace tovik::compiler::substitution

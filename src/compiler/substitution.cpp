#include "compiler/substitution.hpp"

#include <algorithm>

#include "errors/error.hpp"
#include "util/interrupt.hpp"

namespace tovik::compiler::substitution {

using namespace replace;

// The passes are computed exactly as the sequential definition gives them for one
// fixed order of the substitution map. With brace-free keys every occurrence of a
// key's written form is a "spot": two opening braces, a brace-free content, two
// closing braces; spots never overlap, and replacing one leaves every other spot
// intact. A pass can then be done as one splice of all key spots of its starting
// text, provided nothing the pass inserts is picked up again later in the pass:
//  - the map order puts every key after the keys whose placeholders its value holds
//    (a value may hold its own spaced placeholder, but not its brace-less one,
//    which the same key's second replacement would catch);
//  - no key spot of the result crosses the edge of an inserted value (one would be
//    formed by the insertion itself, and it shows in the result just as in the
//    intermediate texts).
// A pass that fails these checks runs sequentially, and so does every pass when a
// key holds a brace or a key equals another one padded with a space on each side.
//
// A run that grows past its bounds is taken over by runaway.cpp.

namespace {

// The outcome of a run that a proof decided.
SubstitutionRun decided(SubstitutionRun& res, std::uint64_t passes, std::string name) {
    res.passes = passes;
    res.leftover = std::move(name);
    return std::move(res);
}

}  // namespace

Substituter::Substituter(VarEntries entries, const Limits& limits)
    : keys_(std::move(entries)), limits_(limits) {
    const std::size_t n = keys_.size();
    fast_ = keys_.brace_free() && !keys_.padded_twin();
    if (fast_) {
        keys_.find_inner();
        keys_.dependency_order();
        const VarEntries& e = keys_.entries();
        const auto& inner = keys_.inner();
        ok_.assign(n, 1);
        inner_growth_.assign(n, 0);
        for (std::uint32_t i = 0; i < inner.size(); ++i)
            for (const auto& r : inner[i]) {
                if (r.key > i || (r.key == i && !r.spaced)) ok_[i] = 0;
                inner_growth_[i] += static_cast<std::int64_t>(e[r.key].second.size()) -
                                    static_cast<std::int64_t>(e[r.key].first.size() + 4 +
                                                              (r.spaced ? 2 : 0));
            }
    }
    value_brace_free_.reserve(n);
    for (const auto& [k, v] : keys_.entries()) value_brace_free_.push_back(!replace::has_brace(v));
    stamp_plain_.assign(n, 0);
    stamp_spaced_.assign(n, 0);
}

SubstitutionRun Substituter::run(std::string& text, std::uint64_t limit,
                                 std::string_view model_name) {
    // Everything a run leaves behind is reset, so that a reused object runs as a
    // new one would; what stays is derived from the entries alone.
    model_ = model_name;
    work_ = 0;
    next_size_ = 0;
    has_spots_ = false;
    SubstitutionRun res;
    bound_ = limits_.size;
    work_bound_ = limits_.work + std::min<std::uint64_t>(text.size(), std::uint64_t{1} << 48) *
                                     kWorkPerByte;
    next_try_ = limits_.first_try;
    spots_kept_ = false;
    if (keys_.brace_free()) mark_present(text, true);

    std::uint64_t passes = 0;
    PeriodFinder period;
    while (passes < limit) {
        if (keys_.brace_free() && !has_spots_) {
            ++passes;  // this pass would change nothing
            break;
        }
        const std::uint64_t before = work_;
        work_ += kStepWork;
        const Step st = step(text);
        util::work(work_ - before);
        if (st == Step::Over) return give_up(text, limit - passes, passes, res);
        ++passes;
        if (st == Step::Same) break;
        if (work_ > work_bound_) return give_up(text, limit - passes, passes, res);
        if (keys_.brace_free() && !has_spots_) continue;  // the loop head ends it
        if (period.see(text, passes, limit, work_)) continue;
        if (work_ >= next_try_ && passes < limit) {
            if (auto name = prove(text, limit - passes)) return decided(res, passes, std::move(*name));
            next_try_ = std::max(next_try_, work_) * 4;
        }
    }
    res.passes = passes;
    return res;
}

// A bound is hit with `remaining` passes still to run on `text`: the one place
// where a run that no pass can finish ends, with a proven outcome or refused.
SubstitutionRun Substituter::give_up(const std::string& text, std::uint64_t remaining,
                                     std::uint64_t passes, SubstitutionRun& res) {
    const bool work = work_ > work_bound_;
    if (auto name = prove(text, remaining)) return decided(res, passes, std::move(*name));
    throw SizeLimitExceeded("variable substitution in model '" + std::string(model_) +
                            "' would " + (work ? "process more than " : "exceed ") +
                            std::to_string(work ? work_bound_ : limits_.size) + " bytes");
}

std::optional<std::string> Substituter::prove(const std::string& text, std::uint64_t remaining) {
    return Runaway(keys_, work_, work_bound_, limits_.window).prove(text, remaining);
}

Substituter::Step Substituter::step(std::string& text) {
    if (!(fast_ && fast_pass(text))) {
        next_size_ = 0;
        next_ = text;
        if (!sequential_pass(next_)) return Step::Over;
    }
    if (next_.size() == text.size()) work_ += text.size();
    if (next_ == text) return Step::Same;
    text.swap(next_);
    return Step::Changed;
}

// One pass as a single splice into next_; false when the pass has to run
// sequentially (which also decides a size bound exactly).
bool Substituter::fast_pass(const std::string& text) {
    const VarEntries& e = keys_.entries();
    const bool kept = spots_kept_;
    spots_kept_ = false;
    if (next_size_ > bound_) return false;
    next_.clear();
    next_.reserve(next_size_ != 0 ? next_size_ : text.size());
    next_size_ = 0;
    std::size_t from = 0;
    bool all_edge_safe = true, inner_spots = false;
    std::int64_t growth = 0;
    std::size_t grown = 0;
    auto splice = [&](std::size_t start, std::size_t end, const KeyHit& h) {
        const bool spaced = h.spaced >= 0;
        const auto k = static_cast<std::size_t>(spaced ? h.spaced : h.plain);
        if (!ok_[k]) return false;
        // Every text within the pass stays below the start plus what grows.
        const std::size_t len = end - start, vlen = e[k].second.size();
        if (vlen > len) grown += vlen - len;
        if (!fits(text.size(), grown, bound_)) return false;
        next_.append(text, from, start - from);
        next_.append(e[k].second);
        from = end;
        all_edge_safe = all_edge_safe && keys_.edge_safe(k);
        inner_spots = inner_spots || !keys_.inner()[k].empty();
        growth += inner_growth_[k];
        return true;
    };
    if (kept) {
        for (const auto& s : spots_)
            if (!splice(s.start, s.end, s.hit)) return false;
    } else {
        SpotCursor tc(text, keys_.max_content());
        while (tc.next()) {
            const KeyHit h = keys_.keys_of(tc.content);
            if (h.any() && !splice(tc.start, tc.end, h)) return false;
        }
        work_ += kStopWork * tc.stops;
    }
    next_.append(text, from, npos);
    work_ += text.size();
    if (all_edge_safe) {
        // No spot crosses an edge: the result's key spots are the inserted
        // values' own placeholders.
        has_spots_ = inner_spots;
        next_size_ = static_cast<std::size_t>(static_cast<std::int64_t>(next_.size()) + growth);
        return true;
    }

    // Every key spot of the result must lie inside one inserted value; the
    // inserted values are found again by walking the text's spots alongside.
    SpotCursor inserted(text, keys_.max_content()), result(next_, keys_.max_content());
    std::size_t added = 0, removed = 0, region_start = 0, region_end = 0;
    bool have_region = false;
    has_spots_ = false;
    // The result's key spots are exactly what the next pass replaces, so its
    // size is known here.
    std::size_t size = next_.size();
    // A pass that runs sequentially after all still pays for this look.
    auto sequential = [&] {
        work_ += text.size() + next_.size() + kStopWork * (inserted.stops + result.stops);
        return false;
    };
    while (result.next()) {
        const KeyHit h = keys_.keys_of(result.content);
        if (!h.any()) continue;
        has_spots_ = true;
        size = size - (result.end - result.start) +
               e[static_cast<std::size_t>(h.spaced >= 0 ? h.spaced : h.plain)].second.size();
        while (!have_region || region_end < result.end) {
            std::int64_t k = -1;
            while (k < 0 && inserted.next()) {
                const KeyHit h = keys_.keys_of(inserted.content);
                k = h.spaced >= 0 ? h.spaced : h.plain;
            }
            if (k < 0) return sequential();
            const std::size_t len = e[static_cast<std::size_t>(k)].second.size();
            region_start = inserted.start + added - removed;
            region_end = region_start + len;
            added += len;
            removed += inserted.end - inserted.start;
            have_region = true;
        }
        if (region_start > result.start) return sequential();
    }
    work_ += text.size() + next_.size() + kStopWork * (inserted.stops + result.stops);
    next_size_ = size;
    return true;
}

// Marks the keys with a spot in the text; with brace-free keys no other key
// can match anywhere. Within a sequential pass the marks may go stale in the
// safe direction only (a mark for a spot since replaced).
void Substituter::mark_present(std::string_view text, bool keep_spots) {
    ++epoch_;
    work_ += text.size();
    has_spots_ = false;
    spots_.clear();
    SpotCursor c(text, keys_.max_content());
    while (c.next()) {
        const KeyHit h = keys_.keys_of(c.content);
        if (h.plain >= 0) stamp_plain_[static_cast<std::size_t>(h.plain)] = epoch_;
        if (h.spaced >= 0) stamp_spaced_[static_cast<std::size_t>(h.spaced)] = epoch_;
        has_spots_ = has_spots_ || h.any();
        if (keep_spots && h.any()) spots_.push_back({c.start, c.end, h});
    }
    work_ += kStopWork * c.stops;
    spots_kept_ = keep_spots;
}

// One pass exactly as defined, except that a written form that does not occur
// in the text at its turn is not searched for: its replacement would find
// nothing and leave the text as it is. Which forms occur is known from one
// scan of the text, made again after every replacement that changes it (with
// brace-free keys, only where the inserted value may have formed a spot across
// its edges). So a pass costs a scan per replacement that changes something,
// not one per key. False when the text would outgrow the size bound, or the
// work passes the work bound.
bool Substituter::sequential_pass(std::string& text) {
    const VarEntries& e = keys_.entries();
    const auto& forms = keys_.forms();
    if (keys_.brace_free()) {
        if (!keys_.inner_found()) keys_.find_inner();
        mark_present(text);
    } else {
        mark_braced(text);
    }
    for (std::uint32_t i = 0; i < e.size(); ++i) {
        const bool spaced = stamp_spaced_[i] == epoch_;
        const bool plain = stamp_plain_[i] == epoch_;
        bool over = false, changed = false;
        if (work_ > work_bound_) return false;
        work_ += kStepWork;
        if (!spaced && !plain) continue;
        util::work(kStepWork + 2 * text.size());
        if (spaced) {
            changed = replace_all(text, forms[i].first, e[i].second, bound_, &over, &work_);
            if (over) return false;
        }
        // The spaced replacement may have brought brace-less spots of this key.
        if (plain || changed) {
            changed |=
                replace_all(text, forms[i].second, e[i].second, bound_, &over, &work_);
            if (over) return false;
        }
        if (!changed) continue;
        if (!keys_.brace_free()) {
            mark_braced(text);
            continue;
        }
        // Without spots across its edges, the keys a value brings are its own
        // placeholders.
        if (keys_.edge_safe(i)) {
            for (const auto& r : keys_.inner()[i])
                (r.spaced ? stamp_spaced_ : stamp_plain_)[r.key] = epoch_;
            has_spots_ = has_spots_ || !keys_.inner()[i].empty();
        } else {
            mark_present(text);
        }
    }
    return true;
}

// Marks the written forms that occur in the text, for keys that may hold
// braces: occurrences may then overlap and nest, so all forms are searched
// for at once.
void Substituter::mark_braced(std::string_view text) {
    if (!braced_ && !braced_too_large_) {
        const auto& forms = keys_.forms();
        std::size_t bytes = 0;
        for (const auto& [spaced, plain] : forms) bytes += spaced.size() + plain.size();
        // The automaton takes some forty bytes per byte of its patterns.
        braced_too_large_ = bytes > kMaxAutomatonBytes;
        if (!braced_too_large_) {
            braced_.emplace();
            for (std::uint32_t i = 0; i < keys_.size(); ++i) {
                braced_->add(forms[i].first, 2 * i);
                braced_->add(forms[i].second, 2 * i + 1);
            }
            braced_->build();
        }
    }
    ++epoch_;
    if (braced_too_large_) {
        // Every form is searched for, each one a scan that the work bound counts.
        std::fill(stamp_spaced_.begin(), stamp_spaced_.end(), epoch_);
        std::fill(stamp_plain_.begin(), stamp_plain_.end(), epoch_);
        return;
    }
    work_ += braced_->scan(text, [&](std::uint32_t id) {
        (id & 1 ? stamp_plain_ : stamp_spaced_)[id >> 1] = epoch_;
    });
}

}  // namespace tovik::compiler::substitution

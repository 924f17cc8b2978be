// The rewriting of ref() and source() calls into relation names, each as a
// one-scan fast path with the plain sequential replacements behind it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "compiler/replace.hpp"
#include "compiler/scanner.hpp"
#include "types/records.hpp"
#include "util/hash.hpp"

namespace tovik::compiler::rewriting {

// Both throw SizeLimitExceeded when a step's result would exceed `bound` bytes.
std::string rewrite_refs(std::string text, std::string_view schema, const StrList& other_refs,
                         const StrList& ephemeral_refs,
                         std::size_t bound = replace::text_size_bound());

// Every source name of `pairs` must be a key of `sources`.
std::string rewrite_sources(std::string text, const StrPairList& pairs, const SourceMap& sources,
                            std::size_t bound = replace::text_size_bound());

// rewrite_refs and then rewrite_sources on `body`, done as one splice at the
// offsets the scanner found. `hits` are the body's hits in order: the i-th Ref
// hit is rewritten bare when bare[i] (no `bare`: none is), and the j-th Source
// hit names the source declared as *infos[j]. Empty when the two steps have to
// run as themselves, so that they decide.
//
// With `var_values`, brace-free values for the Var hits in order, those hits
// are replaced too, provided the rewritten text then holds no "{{" but theirs:
// its spots are then exactly the Var hits, and the values are what one
// substitution pass puts there, after which no spot and no leftover is left.
// *vars_spliced says whether they were; if not, the Var hits stay as they are.
std::optional<std::string> rewrite_from_hits(
    std::string_view body, const std::vector<scanner::Hit>& hits, std::string_view schema,
    const std::vector<char>* bare, const std::vector<const SourceInfo*>& infos,
    std::size_t bound = replace::text_size_bound(),
    const std::vector<std::string_view>* var_values = nullptr, bool* vars_spliced = nullptr);

// What a source's database and schema hold, asked once per source however
// many pairs name it: a name may be megabytes long.
class SourceTraits {
public:
    struct Traits {
        bool paren = false, brace = false;
    };
    Traits of(const SourceInfo& info);

private:
    const SourceInfo* last_ = nullptr;
    Traits last_traits_;
    std::unordered_map<const SourceInfo*, Traits> seen_;
};

// The size change of each sequential replacement that a one-scan rewrite stands
// for. When the splice could pass the bound, check() tells, without building a
// text, whether one of those replacements' results really does: every
// occurrence a replacement meets is one of the splice's hits, so each result's
// size follows from the sizes before it.
class StepSizes {
public:
    // The step of `key` (unique within its phase); steps run phase by phase,
    // then in the order in which their keys first come.
    std::size_t step_of(int phase, std::string_view key);
    // One occurrence of the step's single-quoted (or double-quoted) form.
    void add(std::size_t step, bool double_quote, std::int64_t delta) {
        steps_[step].delta[double_quote ? 1 : 0] += delta;
    }
    // Steps numbered by the caller, already in the order they run.
    void add_numbered(std::size_t step, bool double_quote, std::int64_t delta) {
        if (step >= steps_.size()) steps_.resize(step + 1);
        add(step, double_quote, delta);
    }
    // Throws SizeLimitExceeded when a replacement's result would pass `bound`.
    void check(std::size_t size, std::size_t bound) const;

private:
    struct Step {
        int phase = 0;
        std::int64_t delta[2] = {0, 0};
    };
    std::vector<Step> steps_;
    std::unordered_map<std::string, std::size_t, util::StringHash, std::equal_to<>> index_;
};

[[noreturn]] void refuse_rewrite(std::size_t bound);

}  // namespace tovik::compiler::rewriting

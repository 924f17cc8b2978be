// PCRE2 as the fuzzers' reference for the core's hand-written matchers: a
// compiled pattern (UTF mode, JIT where available) with a leftmost-first,
// non-overlapping scan. Invalid UTF-8 never matches inside a bad sequence and
// never reads past the subject. Only the fuzzers link this; the module does not.
#pragma once

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include <cstddef>
#include <string_view>
#include <utility>

namespace tovik::re {

// Unicode word character and white space, spelled as their properties so that
// they do not depend on the library's own idea of \w and \s.
//
// The core's classes follow its checked-in tables, whose Unicode version may be
// newer than the one this PCRE2 was built with. So a Pattern compiles
// TOVIK_RE_WORD as PCRE2's class plus the code points where the two differ, and
// only after checking, once per process, that every such code point is one the
// table calls a word character and PCRE2's Unicode leaves unassigned: a newer
// version's additions and nothing else. Any other difference, and any
// difference in white space, stops the process.
#define TOVIK_RE_WORD "[\\p{Alphabetic}\\p{M}\\p{Nd}\\p{Pc}\\p{Join_Control}]"
#define TOVIK_RE_SPACE "\\p{White_Space}"

class Pattern {
public:
    explicit Pattern(const char* pattern);
    ~Pattern();
    Pattern(const Pattern&) = delete;
    Pattern& operator=(const Pattern&) = delete;

    // Calls on_match(groups, ngroups) for every match, where groups[i] is the
    // view of capture group i (group 0 is the whole match).
    template <typename F>
    void for_each_match(std::string_view subject, F&& on_match) const;

    // The first match's groups, or false.
    bool first_match(std::string_view subject, std::string_view* groups, int ngroups) const;

private:
    // Returns the number of groups filled, or 0 when there is no match from `start`.
    int match_at(std::string_view subject, std::size_t start, std::string_view* groups,
                 int ngroups) const;

    pcre2_code* code_ = nullptr;
};

template <typename F>
void Pattern::for_each_match(std::string_view subject, F&& on_match) const {
    std::string_view groups[4];
    std::size_t start = 0;
    while (start <= subject.size()) {
        const int n = match_at(subject, start, groups, 4);
        if (n == 0) return;
        on_match(groups, n);
        const auto end = static_cast<std::size_t>(groups[0].data() + groups[0].size() -
                                                  subject.data());
        // None of our patterns can match the empty string; guard anyway.
        start = end > start ? end : start + 1;
    }
}

}  // namespace tovik::re

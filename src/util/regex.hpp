// A compiled PCRE2 pattern (UTF mode, JIT where available) with a leftmost-first,
// non-overlapping scan. Invalid UTF-8 never matches inside a bad sequence and
// never reads past the subject.
#pragma once

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include <cstddef>
#include <string_view>
#include <utility>

namespace tovik::re {

// Unicode word character and white space, spelled as their properties so that
// they do not depend on the library's own idea of \w and \s.
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

#include "util/regex.hpp"

#include <cstdint>
#include <stdexcept>
#include <string>

namespace tovik::re {

namespace {
// One match-data block per thread, large enough for every pattern we compile.
pcre2_match_data* match_data() {
    struct Holder {
        pcre2_match_data* md = pcre2_match_data_create(8, nullptr);
        ~Holder() { pcre2_match_data_free(md); }
    };
    thread_local Holder holder;
    if (holder.md == nullptr) throw std::bad_alloc();
    return holder.md;
}
// Every pattern here is written with possessive repeats, so a match attempt never
// backtracks and its work is linear in the run it looks at. The engine's default
// limits would still refuse a long enough run; lifting them is safe for that reason.
pcre2_match_context* match_context() {
    struct Holder {
        pcre2_match_context* mc = pcre2_match_context_create(nullptr);
        Holder() {
            if (mc == nullptr) return;
            pcre2_set_match_limit(mc, UINT32_MAX);
            pcre2_set_depth_limit(mc, UINT32_MAX);
            pcre2_set_heap_limit(mc, UINT32_MAX);
        }
        ~Holder() { pcre2_match_context_free(mc); }
    };
    thread_local Holder holder;
    if (holder.mc == nullptr) throw std::bad_alloc();
    return holder.mc;
}
}  // namespace

Pattern::Pattern(const char* pattern) {
    int err = 0;
    PCRE2_SIZE offset = 0;
    code_ = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(pattern), PCRE2_ZERO_TERMINATED,
                          PCRE2_UTF | PCRE2_UCP | PCRE2_MATCH_INVALID_UTF, &err, &offset, nullptr);
    if (code_ == nullptr) {
        PCRE2_UCHAR buf[256];
        pcre2_get_error_message(err, buf, sizeof buf);
        throw std::runtime_error(std::string("pattern failed to compile: ") +
                                 reinterpret_cast<const char*>(buf));
    }
    // JIT is an optimisation only; the interpreter gives the same matches.
    pcre2_jit_compile(code_, PCRE2_JIT_COMPLETE);
}

Pattern::~Pattern() { pcre2_code_free(code_); }

int Pattern::match_at(std::string_view subject, std::size_t start, std::string_view* groups,
                      int ngroups) const {
    pcre2_match_data* md = match_data();
    const int rc = pcre2_match(code_, reinterpret_cast<PCRE2_SPTR>(subject.data()),
                               subject.size(), start, 0, md, match_context());
    if (rc == PCRE2_ERROR_NOMATCH) return 0;
    if (rc < 0) {
        PCRE2_UCHAR buf[256];
        pcre2_get_error_message(rc, buf, sizeof buf);
        throw std::runtime_error(std::string("pattern match failed: ") +
                                 reinterpret_cast<const char*>(buf));
    }
    const PCRE2_SIZE* ov = pcre2_get_ovector_pointer(md);
    const int count = rc < ngroups ? rc : ngroups;
    for (int i = 0; i < count; ++i) {
        if (ov[2 * i] == PCRE2_UNSET) {
            groups[i] = std::string_view();
        } else {
            groups[i] = subject.substr(ov[2 * i], ov[2 * i + 1] - ov[2 * i]);
        }
    }
    return count;
}

bool Pattern::first_match(std::string_view subject, std::string_view* groups,
                          int ngroups) const {
    return match_at(subject, 0, groups, ngroups) > 0;
}

}  // namespace tovik::re

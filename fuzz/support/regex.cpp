#include "regex.hpp"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "util/unicode.hpp"

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

std::size_t encode(char32_t cp, unsigned char* out) {
    if (cp < 0x80) {
        out[0] = static_cast<unsigned char>(cp);
        return 1;
    }
    if (cp < 0x800) {
        out[0] = static_cast<unsigned char>(0xC0 | (cp >> 6));
        out[1] = static_cast<unsigned char>(0x80 | (cp & 0x3F));
        return 2;
    }
    if (cp < 0x10000) {
        out[0] = static_cast<unsigned char>(0xE0 | (cp >> 12));
        out[1] = static_cast<unsigned char>(0x80 | ((cp >> 6) & 0x3F));
        out[2] = static_cast<unsigned char>(0x80 | (cp & 0x3F));
        return 3;
    }
    out[0] = static_cast<unsigned char>(0xF0 | (cp >> 18));
    out[1] = static_cast<unsigned char>(0x80 | ((cp >> 12) & 0x3F));
    out[2] = static_cast<unsigned char>(0x80 | ((cp >> 6) & 0x3F));
    out[3] = static_cast<unsigned char>(0x80 | (cp & 0x3F));
    return 4;
}

[[noreturn]] void disagree(const char* what, char32_t cp) {
    std::fprintf(stderr, "PCRE2 %d.%d and the Unicode %s table disagree on U+%04X (%s)\n",
                 PCRE2_MAJOR, PCRE2_MINOR, unicode::tables::kVersion,
                 static_cast<unsigned>(cp), what);
    std::abort();
}

// Whether a whole one-character subject matches a class, for each class asked.
class ClassProbe {
public:
    explicit ClassProbe(const char* cls) {
        const std::string anchored = std::string("\\A") + cls + "\\z";
        int err = 0;
        PCRE2_SIZE offset = 0;
        code_ = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(anchored.c_str()),
                              PCRE2_ZERO_TERMINATED, PCRE2_UTF | PCRE2_UCP, &err, &offset,
                              nullptr);
        if (code_ == nullptr) throw std::runtime_error("class failed to compile: " + anchored);
        pcre2_jit_compile(code_, PCRE2_JIT_COMPLETE);
        md_ = pcre2_match_data_create_from_pattern(code_, nullptr);
    }
    ~ClassProbe() {
        pcre2_match_data_free(md_);
        pcre2_code_free(code_);
    }
    bool operator()(const unsigned char* s, std::size_t len) const {
        const int rc = pcre2_match(code_, s, len, 0, 0, md_, nullptr);
        if (rc < 0 && rc != PCRE2_ERROR_NOMATCH) throw std::runtime_error("class match failed");
        return rc > 0;
    }

private:
    pcre2_code* code_ = nullptr;
    pcre2_match_data* md_ = nullptr;
};

std::string hex(char32_t cp) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "\\x{%X}", static_cast<unsigned>(cp));
    return buf;
}

// TOVIK_RE_WORD as PCRE2 should compile it, once the difference to the table
// has been checked code point by code point (see regex.hpp).
std::string checked_word_class() {
    const ClassProbe word(TOVIK_RE_WORD), space(TOVIK_RE_SPACE), unassigned("\\p{Cn}");
    std::vector<std::pair<char32_t, char32_t>> added;
    std::size_t count = 0;
    for (char32_t cp = 0; cp <= 0x10FFFF; ++cp) {
        if (cp == 0xD800) cp = 0xE000;
        unsigned char buf[4];
        const auto len = encode(cp, buf);
        if (space(buf, len) != unicode::is_space(cp)) disagree("white space", cp);
        const bool table = unicode::is_word(cp);
        if (word(buf, len) == table) continue;
        if (!table || !unassigned(buf, len)) disagree("word character", cp);
        if (!added.empty() && added.back().second + 1 == cp) {
            added.back().second = cp;
        } else {
            added.emplace_back(cp, cp);
        }
        ++count;
    }
    std::string cls(TOVIK_RE_WORD);
    cls.pop_back();
    for (const auto& [first, last] : added) cls += hex(first) + "-" + hex(last);
    cls += ']';
    std::fprintf(stderr,
                 "reference: PCRE2 %d.%d's word class and %zu code points new by Unicode %s\n",
                 PCRE2_MAJOR, PCRE2_MINOR, count, unicode::tables::kVersion);
    return cls;
}

const std::string& word_class() {
    static const std::string cls = checked_word_class();
    return cls;
}

std::string expand(const char* pattern) {
    static constexpr std::string_view kWord = TOVIK_RE_WORD;
    std::string out(pattern);
    for (auto pos = out.find(kWord); pos != std::string::npos;
         pos = out.find(kWord, pos + word_class().size()))
        out.replace(pos, kWord.size(), word_class());
    return out;
}

}  // namespace

Pattern::Pattern(const char* pattern) {
    int err = 0;
    PCRE2_SIZE offset = 0;
    const std::string expanded = expand(pattern);
    code_ = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(expanded.c_str()), PCRE2_ZERO_TERMINATED,
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

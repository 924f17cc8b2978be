// The reference scanner against the three PCRE2 patterns it replaces, each
// scanned on its own: every hit must agree to the byte, spans of the whole
// match and of every group included, and so must the first var reference.
// PCRE2's word class is widened to the Unicode version of the core's table
// (support/regex.hpp), so letters added since PCRE2's version count as well.
//
// Each input is compared twice: as raw bytes (invalid UTF-8 included), and as
// a program for a text generator whose tokens are the pieces of the three
// forms, word and non-word characters at every UTF-8 length, white space and
// its look-alikes, and broken sequences, so that nearly every input reaches
// deep into the forms.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common.hpp"
#include "compiler/scanner.hpp"
#include "support/core_calls.hpp"
#include "support/regex.hpp"

namespace {

namespace sc = tovik::compiler::scanner;
namespace support = tovik::support;

#define W TOVIK_RE_WORD
#define S TOVIK_RE_SPACE
#define Q "['\\x22]"
// Plain greedy repeats, as the forms are written, not the possessive ones of
// the core: the reference should share as little as possible with the code
// under test.
const tovik::re::Pattern& ref_pattern() {
    static const tovik::re::Pattern p("ref\\(" S "*" Q "(" W "+)" Q S "*\\)");
    return p;
}
const tovik::re::Pattern& source_pattern() {
    static const tovik::re::Pattern p("source\\(" S "*" Q "(" W "+)" Q S "*," S "*" Q "(" W
                                      "+)" Q S "*\\)");
    return p;
}
const tovik::re::Pattern& var_pattern() {
    static const tovik::re::Pattern p("\\{\\{" S "*(" W "+)" S "*\\}\\}");
    return p;
}
#undef W
#undef S
#undef Q

struct Found {
    sc::Span match, group[2];
    bool operator==(const Found&) const = default;
};

sc::Span span_of(std::string_view text, std::string_view part) {
    const auto begin = static_cast<std::size_t>(part.data() - text.data());
    return {begin, begin + part.size()};
}

std::vector<Found> reference(const tovik::re::Pattern& p, std::string_view text) {
    std::vector<Found> out;
    p.for_each_match(text, [&](const std::string_view* g, int n) {
        Found f{};
        f.match = span_of(text, g[0]);
        for (int i = 1; i < n && i <= 2; ++i) f.group[i - 1] = span_of(text, g[i]);
        out.push_back(f);
    });
    return out;
}

void compare(std::string_view text) {
    std::vector<Found> got[3];
    std::size_t last_end = 0;
    for (const auto& hit : support::scan(text)) {
        // In text order, and hits of different forms never overlap.
        FUZZ_CHECK(hit.match.begin >= last_end && hit.match.end <= text.size());
        last_end = hit.match.end;
        got[static_cast<int>(hit.form)].push_back({hit.match, {hit.group[0], hit.group[1]}});
    }
    FUZZ_CHECK(got[static_cast<int>(sc::Form::Ref)] == reference(ref_pattern(), text));
    FUZZ_CHECK(got[static_cast<int>(sc::Form::Source)] == reference(source_pattern(), text));
    const auto vars = reference(var_pattern(), text);
    FUZZ_CHECK(got[static_cast<int>(sc::Form::Var)] == vars);

    // What the callers that take hit after hit get: a fresh search from each
    // hit's end, and one cursor asked for one hit at a time.
    const auto all = support::scan(text);
    const auto same = [&](const std::vector<sc::Hit>& hits) {
        if (hits.size() != all.size()) return false;
        for (std::size_t k = 0; k < hits.size(); ++k) {
            const auto &a = hits[k], &b = all[k];
            if (a.form != b.form || a.match != b.match || a.group[0] != b.group[0] ||
                a.group[1] != b.group[1])
                return false;
        }
        return true;
    };
    std::vector<sc::Hit> stepped, cursored;
    sc::Hit hit;
    for (std::size_t from = 0; support::next_hit(text, from, hit); from = hit.match.end)
        stepped.push_back(hit);
    FUZZ_CHECK(same(stepped));
    sc::Cursor cursor(text);
    while (cursor.next(hit)) cursored.push_back(hit);
    FUZZ_CHECK(same(cursored));

    const auto first = sc::first_var(text);
    FUZZ_CHECK(first.has_value() == !vars.empty());
    if (first) {
        FUZZ_CHECK(first->form == sc::Form::Var);
        FUZZ_CHECK((Found{first->match, {first->group[0], first->group[1]}}) == vars.front());
    }
}

// Tokens of the generated texts; one input byte picks one token.
constexpr std::string_view kTokens[] = {
    "ref(", "source(", "{{", "}}", "'", "\"", ",", ")", "(", "{", "}", "re", "sour", "x",
    " ", "\t", "\n", "\r\n", "a", "Z", "_", "9", "-", ".",
    "\xC3\xA9",          // é, a letter
    "\xD9\xA3",          // Arabic-Indic three, Nd
    "\xE2\x92\xB6",      // circled A: Alphabetic though a symbol
    "\xCC\x81",          // combining acute, a Mark on its own
    "\xE2\x80\x8D",      // zero-width joiner, Join_Control
    "\xE2\x80\xBF",      // undertie, Pc
    "\xF0\x9D\x94\x98",  // mathematical fraktur U, four bytes
    "\xF0\x9F\x98\x80",  // an emoji: neither class
    "\xF0\x91\xBC\x84",  // Kawi letter, assigned after PCRE2's Unicode
    "\xF0\xB1\x8D\x90",  // CJK Extension H ideograph, likewise
    "\xE3\x80\x80",      // ideographic space
    "\xC2\xA0",          // no-break space
    "\xC2\x85",          // next line
    "\xE1\x9A\x80",      // ogham space mark
    "\xE2\x80\xA8",      // line separator
    "\xE2\x80\x8B",      // zero-width space: neither class
    "\xE1\xA0\x8E",      // Mongolian vowel separator: neither class
    "\xEF\xBB\xBF",      // byte-order mark: neither class
    "\xE2\x82\xAC",      // euro sign
    "\xFF",              // never valid
    "\xC3",              // a lead byte cut short
    "\x80",              // a stray continuation byte
    "\xC0\x80",          // overlong
    "\xED\xA0\x80",      // surrogate
    "\xF4\x90\x80\x80",  // above U+10FFFF
    "\xE3\x80",          // three-byte sequence cut short
};

std::string generate(const std::uint8_t* data, std::size_t size) {
    constexpr std::size_t n = sizeof kTokens / sizeof kTokens[0];
    std::string out;
    for (std::size_t i = 0; i < size; ++i) {
        const auto b = data[i];
        // The top bit repeats the token, so long runs come cheaply.
        const std::size_t times = (b & 0x80) ? 1 + (i + 1 < size ? data[++i] % 64 : 0) : 1;
        for (std::size_t k = 0; k < times; ++k) out += kTokens[(b & 0x7F) % n];
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    compare(fuzz::as_text(data, size));
    compare(generate(data, size));
    return 0;
}

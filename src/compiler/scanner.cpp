#include "compiler/scanner.hpp"

#include "util/unicode.hpp"

#include <array>
#include <cstring>

// SSE2 is part of every x86-64 processor; AVX2 is taken when present.
// TOVIK_SCAN_PORTABLE builds the byte-at-a-time search that other processors
// get, so that it is compiled and checked on x86 too.
#if defined(__x86_64__) && !defined(TOVIK_SCAN_PORTABLE)
#define TOVIK_SCAN_X86 1
#include <immintrin.h>
#endif

namespace tovik::compiler::scanner {

namespace {

using Byte = unsigned char;

enum : Byte { kSpace = 1, kWord = 2, kQuote = 4, kHigh = 8 };

// Classes of the ASCII bytes. A byte from 0x80 up is only kHigh here: it may
// open a character of either class, which the slow path decodes.
constexpr std::array<Byte, 256> kAscii = [] {
    std::array<Byte, 256> t{};
    for (int c = 0x80; c <= 0xFF; ++c) t[c] = kHigh;
    for (int c = 0x09; c <= 0x0D; ++c) t[c] = kSpace;
    t[' '] = kSpace;
    for (int c = '0'; c <= '9'; ++c) t[c] = kWord;
    for (int c = 'A'; c <= 'Z'; ++c) t[c] = kWord;
    for (int c = 'a'; c <= 'z'; ++c) t[c] = kWord;
    t['_'] = kWord;
    t['\''] = kQuote;
    t['"'] = kQuote;
    return t;
}();

// The end of the run of ASCII bytes of one class that starts at p. Names are
// mostly ASCII, so words get sixteen bytes at a time.
template <Byte Class>
inline const Byte* skip_ascii(const Byte* p, const Byte* end) {
#if TOVIK_SCAN_X86
    if constexpr (Class == kWord) {
        while (end - p >= 16) {
            // Each range test shifts its range to the bottom of the signed
            // bytes, so one signed compare bounds it on both sides.
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
            const __m128i folded = _mm_or_si128(v, _mm_set1_epi8(0x20));
            const __m128i alpha =
                _mm_cmplt_epi8(_mm_add_epi8(folded, _mm_set1_epi8(static_cast<char>(0x80 - 'a'))),
                               _mm_set1_epi8(-128 + 26));
            const __m128i digit =
                _mm_cmplt_epi8(_mm_add_epi8(v, _mm_set1_epi8(static_cast<char>(0x80 - '0'))),
                               _mm_set1_epi8(-128 + 10));
            const __m128i under = _mm_cmpeq_epi8(v, _mm_set1_epi8('_'));
            const auto word = static_cast<unsigned>(
                _mm_movemask_epi8(_mm_or_si128(_mm_or_si128(alpha, digit), under)));
            if (word != 0xFFFF) return p + __builtin_ctz(~word);
            p += 16;
        }
    }
#endif
    while (p < end && (kAscii[*p] & Class)) ++p;
    return p;
}

// The end of the run of characters of one class that starts at p, which holds
// a byte from 0x80 up. Kept out of line: the matchers inline the ASCII part.
template <Byte Class, bool (*NonAscii)(char32_t)>
__attribute__((noinline)) const Byte* skip_run_slow(const Byte* p, const Byte* end) {
    for (;;) {
        char32_t cp;
        // An ill-formed byte belongs to neither class, so no match reaches
        // across it, as a regular expression in its invalid-UTF mode treats it.
        const auto len = unicode::decode(p, end, cp);
        if (len == 0 || !NonAscii(cp)) return p;
        p = skip_ascii<Class>(p + len, end);
        if (p == end || *p < 0x80) return p;
    }
}

template <Byte Class, bool (*NonAscii)(char32_t)>
inline const Byte* skip_run(const Byte* p, const Byte* end) {
    p = skip_ascii<Class>(p, end);
    return (p != end && *p >= 0x80) ? skip_run_slow<Class, NonAscii>(p, end) : p;
}

// Where the forms allow spaces there is mostly none or a single ASCII one,
// which costs a table look-up or two and no loop.
inline const Byte* skip_spaces(const Byte* p, const Byte* end) {
    constexpr Byte kMaybe = kSpace | kHigh;
    if (p == end || !(kAscii[*p] & kMaybe)) return p;
    if (kAscii[*p] == kSpace && (++p == end || !(kAscii[*p] & kMaybe))) return p;
    return skip_run<kSpace, unicode::is_space>(p, end);
}

inline const Byte* skip_word(const Byte* p, const Byte* end) {
    return skip_run<kWord, unicode::is_word>(p, end);
}

// Q (\w+) Q at p: the end of the closing quote and the name's span, or null.
inline const Byte* quoted_word(const Byte* p, const Byte* end, const Byte* base, Span& name) {
    if (p == end || !(kAscii[*p] & kQuote)) return nullptr;
    const Byte* w = ++p;
    p = skip_word(p, end);
    if (p == w || p == end || !(kAscii[*p] & kQuote)) return nullptr;
    name = {static_cast<std::size_t>(w - base), static_cast<std::size_t>(p - base)};
    return p + 1;
}

// Each matcher gets p just past the opening literal and returns the end of
// the match, or null. None of them reads past `end`.

__attribute__((always_inline)) inline const Byte* match_ref(const Byte* p, const Byte* end,
                                                             const Byte* base, Hit& hit) {
    p = quoted_word(skip_spaces(p, end), end, base, hit.group[0]);
    if (p == nullptr) return nullptr;
    p = skip_spaces(p, end);
    return (p != end && *p == ')') ? p + 1 : nullptr;
}

__attribute__((always_inline)) inline const Byte* match_source(const Byte* p, const Byte* end,
                                                                const Byte* base, Hit& hit) {
    p = quoted_word(skip_spaces(p, end), end, base, hit.group[0]);
    if (p == nullptr) return nullptr;
    p = skip_spaces(p, end);
    if (p == end || *p != ',') return nullptr;
    p = quoted_word(skip_spaces(p + 1, end), end, base, hit.group[1]);
    if (p == nullptr) return nullptr;
    p = skip_spaces(p, end);
    return (p != end && *p == ')') ? p + 1 : nullptr;
}

__attribute__((always_inline)) inline const Byte* match_var(const Byte* p, const Byte* end,
                                                             const Byte* base, Hit& hit) {
    p = skip_spaces(p, end);
    const Byte* w = p;
    p = skip_word(p, end);
    if (p == w) return nullptr;
    hit.group[0] = {static_cast<std::size_t>(w - base), static_cast<std::size_t>(p - base)};
    p = skip_spaces(p, end);
    return (end - p >= 2 && p[0] == '}' && p[1] == '}') ? p + 2 : nullptr;
}

// The form opened by the candidate at i, matched: the end of the match with
// hit.form, hit.group and `start` set, or null.
inline const Byte* match_at(const Byte* s, std::size_t i, const Byte* end, Hit& hit,
                            std::size_t& start) {
    if (s[i] == '{') {
        hit.form = Form::Var;
        start = i;
        return match_var(s + i + 2, end, s, hit);
    }
    if (s[i - 1] == 'f') {
        if (i < 3 || s[i - 2] != 'e' || s[i - 3] != 'r') return nullptr;
        hit.form = Form::Ref;
        start = i - 3;
        return match_ref(s + i + 1, end, s, hit);
    }
    if (s[i - 1] == 'e') {
        if (i < 6 || std::memcmp(s + i - 6, "sourc", 5) != 0) return nullptr;
        hit.form = Form::Source;
        start = i - 6;
        return match_source(s + i + 1, end, s, hit);
    }
    return nullptr;
}

#if TOVIK_SCAN_X86
// Candidates among the 64 positions from p, as a bit mask; reads p[-1] to p[64].
// "(" counts after any of "d", "e", "f", "g" (one masked compare), a superset
// that the matchers narrow down. The same steps at two vector widths.
std::uint64_t candidates64_sse2(const Byte* p) {
    const auto load = [](const Byte* at) {
        return _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
    };
    const __m128i paren = _mm_set1_epi8('('), brace = _mm_set1_epi8('{');
    const __m128i low = _mm_set1_epi8(~3), defg = _mm_set1_epi8('d');
    std::uint64_t mask = 0;
    for (int k = 0; k < 64; k += 16) {
        const __m128i prev = load(p + k - 1), cur = load(p + k), next = load(p + k + 1);
        const __m128i call = _mm_and_si128(_mm_cmpeq_epi8(cur, paren),
                                           _mm_cmpeq_epi8(_mm_and_si128(prev, low), defg));
        const __m128i braces = _mm_and_si128(_mm_cmpeq_epi8(cur, brace),
                                             _mm_cmpeq_epi8(next, brace));
        mask |= std::uint64_t{static_cast<std::uint16_t>(
                    _mm_movemask_epi8(_mm_or_si128(call, braces)))}
                << k;
    }
    return mask;
}

__attribute__((target("avx2"))) std::uint64_t candidates64_avx2(const Byte* p) {
    const __m256i paren = _mm256_set1_epi8('('), brace = _mm256_set1_epi8('{');
    const __m256i low = _mm256_set1_epi8(~3), defg = _mm256_set1_epi8('d');
    std::uint64_t mask = 0;
    for (int k = 0; k < 64; k += 32) {
        const auto* at = reinterpret_cast<const __m256i*>(p + k);
        const __m256i cur = _mm256_loadu_si256(at);
        // One byte either side of each position; the loads need no alignment.
        const __m256i prev = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + k - 1));
        const __m256i next = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + k + 1));
        const __m256i call = _mm256_and_si256(
            _mm256_cmpeq_epi8(cur, paren), _mm256_cmpeq_epi8(_mm256_and_si256(prev, low), defg));
        const __m256i braces = _mm256_and_si256(_mm256_cmpeq_epi8(cur, brace),
                                                _mm256_cmpeq_epi8(next, brace));
        mask |= std::uint64_t{static_cast<std::uint32_t>(
                    _mm256_movemask_epi8(_mm256_or_si256(call, braces)))}
                << k;
    }
    return mask;
}

// The first block from i (> 0, at least 65 bytes before the end of the text)
// that holds a candidate, moving i to it, or 0 with i where the whole blocks
// ran out. Most blocks of a model hold no reference, and looping here costs
// less per block than returning to the caller for each.
template <std::uint64_t (*Candidates)(const Byte*)>
__attribute__((always_inline)) inline std::uint64_t seek(const Byte* s, std::size_t n,
                                                         std::size_t& i) {
    do {
        if (const std::uint64_t m = Candidates(s + i)) return m;
        i += 64;
    } while (n - i >= 65);
    return 0;
}

std::uint64_t seek_sse2(const Byte* s, std::size_t n, std::size_t& i) {
    return seek<candidates64_sse2>(s, n, i);
}

__attribute__((target("avx2"))) std::uint64_t seek_avx2(const Byte* s, std::size_t n,
                                                        std::size_t& i) {
    return seek<candidates64_avx2>(s, n, i);
}

// Chosen once per process by what the processor offers. TOVIK_SCAN_NO_AVX2
// builds the other path for the fuzzers, on machines that would never take it.
#if defined(TOVIK_SCAN_NO_AVX2)
const auto candidates64_best = candidates64_sse2;
const auto seek_best = seek_sse2;
#else
const bool has_avx2 = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") != 0;
}();
const auto candidates64_best = has_avx2 ? candidates64_avx2 : candidates64_sse2;
const auto seek_best = has_avx2 ? seek_avx2 : seek_sse2;
#endif
#else
// Whether position i may open a form: a "(" after "f" or "e" (the last letter
// of "ref" and "source"), or the first of two "{". Cheap enough to run on every
// byte where no vector search is at hand; the matchers confirm the rest.
inline bool candidate(const Byte* s, std::size_t n, std::size_t i) {
    if (s[i] == '(') return i > 0 && (s[i - 1] == 'f' || s[i - 1] == 'e');
    return s[i] == '{' && i + 1 < n && s[i + 1] == '{';
}
#endif

#if TOVIK_SCAN_X86
// A short text's only block (n < 66), searched in a copy: the search reads the
// byte before its first position, and a zero byte there and past the end opens
// nothing.
__attribute__((noinline)) std::uint64_t padded_block(const Byte* s, std::size_t n) {
    alignas(32) Byte block[96];
    block[0] = 0;
    std::memcpy(block + 1, s, n);
    std::memset(block + 1 + n, 0, sizeof block - 1 - n);
    return candidates64_best(block + 1);
}
#endif

// The candidates of the first block of the text from position i (< n - 1) that
// holds any, those before i left out; sets base, the position of bit 0, and
// the position after the block (n, with no candidate, when the text holds no
// more). No form can open at the last byte of a text, which lets every block
// be searched in place but a short text's only one: the last is moved back to
// end one byte short of the text, and the first is searched from its second
// byte, which needs the byte before it, and takes its first byte on its own.
inline std::uint64_t load_block(const Byte* s, std::size_t n, std::size_t i, std::size_t& base,
                                std::size_t& after) {
#if TOVIK_SCAN_X86
    if (n < 66) {
        base = 0;
        after = n;
        return padded_block(s, n) & (~std::uint64_t{0} << i);
    }
    if (i == 0) {
        const std::uint64_t first = (candidates64_best(s + 1) << 1) |
                                    std::uint64_t{s[0] == '{' && s[1] == '{'};
        if (first != 0) {
            base = 0;
            after = 64;
            return first;
        }
        i = 64;
    }
    if (n - i >= 65) {
        if (const std::uint64_t m = seek_best(s, n, i)) {
            base = i;
            after = i + 64;
            return m;
        }
    }
    after = n;
    if (n - i < 2) {
        base = i;
        return 0;
    }
    base = n - 65;
    return candidates64_best(s + base) & (~std::uint64_t{0} << (i - base));
#else
    base = i;
    after = n - i > 64 ? i + 64 : n;
    std::uint64_t mask = 0;
    for (std::size_t k = i; k < after; ++k)
        if (candidate(s, n, k)) mask |= std::uint64_t{1} << (k - i);
    return mask;
#endif
}

}  // namespace

// Linear time: a matcher that starts at a candidate reads only spaces, quotes,
// word characters and one "," before it stops, none of which can open another
// candidate, so the next candidate lies at or after the byte where it stopped
// and no byte is read by more than one matcher plus the candidate search.
std::size_t Cursor::take(Hit* out, std::size_t cap) {
    const Byte* s = s_;
    const std::size_t n = n_;
    const Byte* end = s + n;
    std::size_t base = base_, next = next_, taken = 0;
    std::uint64_t mask = mask_;
    while (taken < cap) {
        while (mask == 0) {
            if (next >= n || n - next < 2) goto done;
            mask = load_block(s, n, next, base, next);
        }
        const std::size_t i = base + static_cast<std::size_t>(__builtin_ctzll(mask));
        mask &= mask - 1;
        Hit& hit = out[taken];
        std::size_t start = 0;
        if (const Byte* stop = match_at(s, i, end, hit, start)) {
            const auto e = static_cast<std::size_t>(stop - s);
            hit.match = {start, e};
            if (hit.form != Form::Source) hit.group[1] = {};
            ++taken;
            // A match holds no candidate past its opening, so resuming at its
            // end misses nothing, and it keeps each form's matches from overlapping.
            if (e - base < 64) {
                mask &= ~std::uint64_t{0} << (e - base);
            } else {
                mask = 0;
                if (e > next) next = e;
            }
        }
    }
done:
    base_ = base;
    next_ = next;
    mask_ = mask;
    return taken;
}

std::optional<Hit> first_var(std::string_view text) {
    const auto* s = reinterpret_cast<const Byte*>(text.data());
    const Byte* end = s + text.size();
    for (auto i = text.find("{{"); i != std::string_view::npos; i = text.find("{{", i + 1)) {
        Hit hit{};
        hit.form = Form::Var;
        if (const Byte* stop = match_var(s + i + 2, end, s, hit)) {
            hit.match = {i, static_cast<std::size_t>(stop - s)};
            return hit;
        }
    }
    return std::nullopt;
}

}  // namespace tovik::compiler::scanner

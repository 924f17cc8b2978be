#include "compiler/macro_parser.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "util/text.hpp"

namespace tovik::compiler::macro_parser {

namespace {

enum : unsigned char {
    kNameStart = 1 << 0,
    kNameByte = 1 << 1,
    kBlocking = 1 << 2,  // may not stand just before a name
    kBlank = 1 << 3,     // may stand between a name and its '('
    kQuote = 1 << 4,
};

// Only ASCII bytes have a class; everything from 0x80 up is "other", so a
// name right after a non-ASCII character still counts.
constexpr std::array<unsigned char, 256> make_classes() {
    std::array<unsigned char, 256> c{};
    for (int b = 'A'; b <= 'Z'; ++b) c[b] = kNameStart | kNameByte | kBlocking;
    for (int b = 'a'; b <= 'z'; ++b) c[b] = kNameStart | kNameByte | kBlocking;
    for (int b = '0'; b <= '9'; ++b) c[b] = kNameByte | kBlocking;
    c['_'] = kNameStart | kNameByte | kBlocking;
    c['.'] = kBlocking;
    // Vertical tab is deliberately missing: "f\v(x)" is not a call.
    c['\t'] = c['\n'] = c['\f'] = c['\r'] = c[' '] = kBlank;
    c['\''] = c['"'] = kQuote;
    return c;
}

constexpr auto kClasses = make_classes();

inline unsigned char class_of(char b) { return kClasses[static_cast<unsigned char>(b)]; }

constexpr std::size_t kOpen = std::string_view::npos;

// Offset just past the literal whose opening quote is at `open`, or kOpen when
// the text ends first. A doubled quote is an escaped one; there is no
// backslash escape.
std::size_t skip_literal(std::string_view s, std::size_t open) {
    const char quote = s[open];
    std::size_t from = open + 1;
    for (;;) {
        const auto close = s.find(quote, from);
        if (close == std::string_view::npos) return kOpen;
        if (close + 1 < s.size() && s[close + 1] == quote) {
            from = close + 2;
            continue;
        }
        return close + 1;
    }
}

// Identifier lengths and first bytes that some known name has. Most
// identifiers of a text fail one of these two bit tests, which spares them the
// walk over the list.
struct NameFilter {
    std::uint64_t lengths = 0;  // bit 63 stands for every length from 63 up
    std::array<std::uint64_t, 4> firsts{};

    static unsigned length_bit(std::size_t n) { return n < 63 ? static_cast<unsigned>(n) : 63; }

    explicit NameFilter(const StrList& known) {
        for (const auto& name : known) {
            if (name.empty()) continue;
            lengths |= std::uint64_t{1} << length_bit(name.size());
            const auto b = static_cast<unsigned char>(name[0]);
            firsts[b >> 6] |= std::uint64_t{1} << (b & 63);
        }
    }

    bool may_match(std::string_view run) const {
        const auto b = static_cast<unsigned char>(run[0]);
        return ((lengths >> length_bit(run.size())) & 1) != 0 &&
               ((firsts[b >> 6] >> (b & 63)) & 1) != 0;
    }
};

// The list is short in practice, so a walk in list order is cheaper than
// building any lookup structure per call.
bool is_known(std::string_view run, const StrList& known) {
    for (const auto& name : known) {
        if (name.size() == run.size() && std::memcmp(name.data(), run.data(), run.size()) == 0)
            return true;
    }
    return false;
}

// Finds the ')' matching the '(' just before `from`, recording the top-level
// commas on the way. Returns kOpen when the text ends first, so a call that
// fails costs no string copies.
std::size_t match_paren(std::string_view s, std::size_t from, std::vector<std::size_t>& commas) {
    const auto n = s.size();
    std::size_t depth = 1;
    std::size_t k = from;
    while (k < n) {
        switch (s[k]) {
            case '(':
                ++depth;
                ++k;
                break;
            case ')':
                if (--depth == 0) return k;
                ++k;
                break;
            case ',':
                if (depth == 1) commas.push_back(k);
                ++k;
                break;
            case '\'':
            case '"':
                k = skip_literal(s, k);
                if (k == kOpen) return kOpen;
                break;
            default:
                ++k;
                break;
        }
    }
    return kOpen;
}

// Pieces before a comma are kept even when empty; an empty last piece is not
// an argument, so "f()" and "f(a,)" have no trailing empty one.
StrList split_args(std::string_view s, std::size_t from, std::size_t close,
                   const std::vector<std::size_t>& commas) {
    StrList args;
    args.reserve(commas.size() + 1);
    std::size_t piece = from;
    for (const auto comma : commas) {
        args.emplace_back(text::trim(s.substr(piece, comma - piece)));
        piece = comma + 1;
    }
    const auto last = text::trim(s.substr(piece, close - piece));
    if (!last.empty()) args.emplace_back(last);
    return args;
}

}  // namespace

Result<std::vector<MacroCall>> find_macro_calls(std::string_view sql,
                                                const StrList& known_functions) {
    std::vector<MacroCall> calls;
    // Nothing can match, and no error is possible without a match.
    if (known_functions.empty()) return calls;

    const auto n = sql.size();
    const NameFilter filter(known_functions);
    std::vector<std::size_t> commas;
    std::size_t i = 0;
    while (i < n) {
        const auto cls = class_of(sql[i]);
        if (cls & kQuote) {
            i = skip_literal(sql, i);
            // An open literal outside any call is not an error: keep what was found.
            if (i == kOpen) break;
            continue;
        }
        if (!(cls & kNameStart)) {
            ++i;
            continue;
        }

        // The whole identifier is consumed, so a known name never matches
        // part of a longer one.
        std::size_t j = i + 1;
        while (j < n && (class_of(sql[j]) & kNameByte)) ++j;
        const auto name = sql.substr(i, j - i);
        if ((i > 0 && (class_of(sql[i - 1]) & kBlocking)) || !filter.may_match(name) ||
            !is_known(name, known_functions)) {
            i = j;
            continue;
        }

        std::size_t p = j;
        while (p < n && (class_of(sql[p]) & kBlank)) ++p;
        if (p == n || sql[p] != '(') {
            i = j;
            continue;
        }

        commas.clear();
        const auto close = match_paren(sql, p + 1, commas);
        if (close == kOpen) return UnclosedParenthesis{std::string(name), p + 1};
        calls.push_back(MacroCall{std::string(name), split_args(sql, p + 1, close, commas), i,
                                  close + 1});
        // Calls nested in the arguments belong to this one and are not reported.
        i = close + 1;
    }
    return calls;
}

}  // namespace tovik::compiler::macro_parser

// Macro-call scanner on arbitrary bytes.
//
// Input: when it holds a NUL byte, the part before the first NUL is the list of
// known names, one per line, and the rest is the SQL; otherwise the whole input
// is the SQL and a fixed list of names is used.
//
// Every call found must lie inside the text, after the previous one, start with
// its name standing on its own and end with ")"; scanning a call's own text
// must give back that one call; the order and the useless entries of the known
// list must not matter; and an unclosed call must point just past a "(" that
// follows its name.
#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

#include "common.hpp"
#include "compiler/macro_parser.hpp"

namespace {

using tovik::StrList;
using tovik::compiler::macro_parser::find_macro_calls;
using tovik::compiler::macro_parser::MacroCall;

bool is_blank(char c) { return c == '\t' || c == '\n' || c == '\f' || c == '\r' || c == ' '; }
bool is_name_byte(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}
bool is_blocking(char c) { return is_name_byte(c) || c == '.'; }

bool same(const MacroCall& a, const MacroCall& b) {
    return a.name == b.name && a.args == b.args && a.start == b.start && a.end == b.end;
}
bool same(const std::vector<MacroCall>& a, const std::vector<MacroCall>& b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                      [](const MacroCall& x, const MacroCall& y) { return same(x, y); });
}

// The two outcomes are the same calls, or the same error.
bool same_outcome(const tovik::Result<std::vector<MacroCall>>& a,
                  const tovik::Result<std::vector<MacroCall>>& b) {
    if (a.ok() != b.ok()) return false;
    if (a.ok()) return same(a.value(), b.value());
    const auto* ea = std::get_if<tovik::UnclosedParenthesis>(&a.error());
    const auto* eb = std::get_if<tovik::UnclosedParenthesis>(&b.error());
    return ea && eb && ea->name == eb->name && ea->position == eb->position;
}

bool known(const StrList& names, std::string_view name) {
    return std::find(names.begin(), names.end(), name) != names.end();
}

void check_call(std::string_view sql, const StrList& names, const MacroCall& c) {
    FUZZ_CHECK(known(names, c.name));
    FUZZ_CHECK(c.start < c.end && c.end <= sql.size());
    const auto text = sql.substr(c.start, c.end - c.start);
    FUZZ_CHECK(text.size() >= c.name.size() + 2);
    FUZZ_CHECK(text.substr(0, c.name.size()) == c.name);
    FUZZ_CHECK(text.back() == ')');
    // The name stands on its own ...
    FUZZ_CHECK(c.start == 0 || !is_blocking(sql[c.start - 1]));
    FUZZ_CHECK(!is_name_byte(text[c.name.size()]));
    // ... and only blanks separate it from its "(".
    std::size_t p = c.name.size();
    while (p < text.size() && is_blank(text[p])) ++p;
    FUZZ_CHECK(p < text.size() && text[p] == '(');

    FUZZ_CHECK(c.args.size() <= 1 + fuzz::count(text, ","));
    for (const auto& arg : c.args) {
        FUZZ_CHECK(text.find(arg, p + 1) != std::string_view::npos);
        if (fuzz::valid_utf8(arg)) FUZZ_CHECK(fuzz::trimmed(arg));
    }

    // A call's own text scans to that call alone.
    const auto alone = find_macro_calls(text, StrList{c.name});
    FUZZ_CHECK(alone.ok() && alone.value().size() == 1);
    const auto& a = alone.value()[0];
    FUZZ_CHECK(a.name == c.name && a.args == c.args && a.start == 0 && a.end == text.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto input = fuzz::as_text(data, size);
    StrList names;
    std::string_view sql = input;
    if (const auto nul = input.find('\0'); nul != std::string_view::npos) {
        for (auto line : fuzz::split(input.substr(0, nul), '\n')) names.emplace_back(line);
        sql = input.substr(nul + 1);
    } else {
        names = {"f", "g", "config", "macro_1"};
    }

    const auto result = find_macro_calls(sql, names);

    // Order, repeats and names that can never form an identifier change nothing.
    StrList shuffled(names.rbegin(), names.rend());
    shuffled.insert(shuffled.end(), names.begin(), names.end());
    shuffled.insert(shuffled.begin(), {"", "a.b", "9x", "x-y"});
    FUZZ_CHECK(same_outcome(result, find_macro_calls(sql, shuffled)));

    if (!result.ok()) {
        const auto* err = std::get_if<tovik::UnclosedParenthesis>(&result.error());
        FUZZ_CHECK(err != nullptr);
        FUZZ_CHECK(known(names, err->name));
        FUZZ_CHECK(err->position >= 1 && err->position <= sql.size());
        std::size_t e = err->position - 1;  // the "("
        FUZZ_CHECK(sql[e] == '(');
        while (e > 0 && is_blank(sql[e - 1])) --e;
        FUZZ_CHECK(e >= err->name.size());
        FUZZ_CHECK(sql.substr(e - err->name.size(), err->name.size()) == err->name);
        return 0;
    }

    const auto& calls = result.value();
    if (names.empty()) FUZZ_CHECK(calls.empty());
    std::uint64_t prev_end = 0;
    for (const auto& c : calls) {
        FUZZ_CHECK(c.start >= prev_end);
        check_call(sql, names, c);
        prev_end = c.end;
    }
    // Nothing after the last call decides what comes before it.
    if (!calls.empty()) {
        const auto head = find_macro_calls(sql.substr(0, calls.back().end), names);
        FUZZ_CHECK(head.ok() && same(head.value(), calls));
    }
    return 0;
}

// Model text parser on arbitrary bytes. Besides surviving, the parse must split
// the text exactly where the header markers are, every key and value must come
// from one header line, and every captured name must be a non-empty, well-formed
// word that the body really holds.
#include <cctype>
#include <string>
#include <string_view>

#include "common.hpp"
#include "compiler/parser.hpp"

namespace {

// Length of the white-space character at s[i], 0 when there is none.
std::size_t space_at(std::string_view s, std::size_t i) {
    const auto len = fuzz::seq_len(static_cast<unsigned char>(s[i]));
    if (i + len > s.size() || !fuzz::valid_utf8(s.substr(i, len))) return 0;
    return fuzz::is_white_space(fuzz::decode_at(s, i, len)) ? len : 0;
}

bool is_word_name(std::string_view name) {
    if (name.empty() || !fuzz::valid_utf8(name)) return false;
    for (char c : name) {
        // Word characters never include ASCII punctuation other than "_", nor ASCII space.
        const auto b = static_cast<unsigned char>(c);
        if (b < 0x80 && !(std::isalnum(b) || b == '_')) return false;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto input = fuzz::as_text(data, size);
    const auto parsed = tovik::compiler::parser::parse(input);

    // Where the header is, worked out without the parser.
    std::size_t open = 0;
    while (open < input.size()) {
        const auto k = space_at(input, open);
        if (k == 0) break;
        open += k;
    }
    std::string_view header;
    std::string_view body = input;
    bool has_header = false;
    if (input.substr(open, 3) == "---") {
        const auto close = input.find("---", open + 3);
        if (close != std::string_view::npos) {
            has_header = true;
            header = input.substr(open + 3, close - open - 3);
            body = input.substr(close + 3);
        }
    }
    FUZZ_CHECK(parsed.front_matter.has_value() == has_header);
    FUZZ_CHECK(parsed.body == body);
    FUZZ_CHECK(fuzz::is_suffix(input, parsed.body));

    const bool utf8 = fuzz::valid_utf8(input);
    if (parsed.front_matter) {
        std::size_t entry_lines = 0;
        for (auto line : fuzz::split(header, '\n'))
            if (line.find(':') != std::string_view::npos) ++entry_lines;
        FUZZ_CHECK(parsed.front_matter->size() <= entry_lines);
        for (const auto& [key, value] : *parsed.front_matter) {
            FUZZ_CHECK(key.find(':') == std::string::npos);
            FUZZ_CHECK(key.find('\n') == std::string::npos);
            FUZZ_CHECK(value.find('\n') == std::string::npos);
            FUZZ_CHECK(header.find(key) != std::string_view::npos);
            if (utf8) {
                FUZZ_CHECK(fuzz::valid_utf8(key) && fuzz::trimmed(key));
                FUZZ_CHECK(fuzz::valid_utf8(value));
            }
        }
    }

    // Matches never overlap and each needs its opening text in the body.
    FUZZ_CHECK(parsed.refs.size() <= fuzz::count(body, "ref("));
    FUZZ_CHECK(parsed.sources.size() <= fuzz::count(body, "source("));
    FUZZ_CHECK(parsed.variables.size() <= fuzz::count(body, "{{"));
    for (const auto& r : parsed.refs) {
        FUZZ_CHECK(is_word_name(r));
        FUZZ_CHECK(body.find(r) != std::string_view::npos);
    }
    for (const auto& [s, t] : parsed.sources) {
        FUZZ_CHECK(is_word_name(s) && is_word_name(t));
        FUZZ_CHECK(body.find(s) != std::string_view::npos);
        FUZZ_CHECK(body.find(t) != std::string_view::npos);
    }
    for (const auto& v : parsed.variables) {
        FUZZ_CHECK(is_word_name(v));
        FUZZ_CHECK(body.find(v) != std::string_view::npos);
    }

    // The scans read the body alone: parsing the body again finds the same
    // references, unless the body happens to open with a header of its own.
    const auto again = tovik::compiler::parser::parse(parsed.body);
    if (!again.front_matter) {
        FUZZ_CHECK(again.body == parsed.body);
        FUZZ_CHECK(again.refs == parsed.refs);
        FUZZ_CHECK(again.sources == parsed.sources);
        FUZZ_CHECK(again.variables == parsed.variables);
    }
    return 0;
}

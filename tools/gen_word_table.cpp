// Build-time generator of the scanner's table of non-ASCII word characters.
//
// The scanner must agree exactly with the PCRE2 class that the rest of the core
// spells as TOVIK_RE_WORD, so instead of transcribing Unicode data by hand we
// ask the linked PCRE2 about every scalar value once, here, and write the
// answer as a two-level bitmap: one block index per 256 code points, then the
// distinct 256-bit blocks. A newer PCRE2 (and with it a newer Unicode version)
// changes the table on the next build without any edit.
//
// Usage: gen_word_table OUTPUT
#include "util/regex.hpp"  // TOVIK_RE_WORD, and pcre2.h in 8-bit mode

#include <array>
#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace {

using Block = std::array<std::uint64_t, 4>;

std::size_t encode(std::uint32_t cp, unsigned char* out) {
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

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s OUTPUT\n", argv[0]);
        return 2;
    }
    int err = 0;
    PCRE2_SIZE erroff = 0;
    pcre2_code* code = pcre2_compile(reinterpret_cast<PCRE2_SPTR>("\\A" TOVIK_RE_WORD "\\z"),
                                     PCRE2_ZERO_TERMINATED, PCRE2_UTF | PCRE2_UCP, &err, &erroff,
                                     nullptr);
    if (code == nullptr) {
        std::fprintf(stderr, "gen_word_table: the word class does not compile (%d)\n", err);
        return 1;
    }
    pcre2_match_data* md = pcre2_match_data_create_from_pattern(code, nullptr);

    constexpr std::uint32_t kEnd = 0x110000;
    std::vector<Block> blocks;
    std::map<Block, std::size_t> seen;
    std::vector<std::size_t> index;
    std::size_t words = 0;
    for (std::uint32_t base = 0; base < kEnd; base += 256) {
        Block b{};
        for (std::uint32_t cp = base; cp < base + 256; ++cp) {
            // ASCII is the scanner's own fast path and surrogates are never
            // characters; both stay clear so a stray lookup answers "no".
            if (cp < 0x80 || (cp >= 0xD800 && cp <= 0xDFFF)) continue;
            unsigned char buf[4];
            const auto len = encode(cp, buf);
            const int rc = pcre2_match(code, buf, len, 0, 0, md, nullptr);
            if (rc > 0) {
                b[(cp & 0xFF) >> 6] |= std::uint64_t{1} << (cp & 63);
                ++words;
            } else if (rc != PCRE2_ERROR_NOMATCH) {
                std::fprintf(stderr, "gen_word_table: match failed at U+%04X (%d)\n", cp, rc);
                return 1;
            }
        }
        auto [it, fresh] = seen.try_emplace(b, blocks.size());
        if (fresh) blocks.push_back(b);
        index.push_back(it->second);
    }
    pcre2_match_data_free(md);
    pcre2_code_free(code);

    std::string out;
    char line[160];
    std::snprintf(line, sizeof line,
                  "// Generated at build time by tools/gen_word_table.cpp from PCRE2 %d.%d;\n"
                  "// %zu non-ASCII word characters in %zu distinct blocks. Do not edit.\n",
                  PCRE2_MAJOR, PCRE2_MINOR, words, blocks.size());
    out += line;
    out += blocks.size() <= 256 ? "inline constexpr std::uint8_t" : "inline constexpr std::uint16_t";
    out += " kWordBlockIndex[" + std::to_string(index.size()) + "] = {";
    for (std::size_t i = 0; i < index.size(); ++i) {
        out += (i % 16 == 0) ? "\n   " : "";
        out += " " + std::to_string(index[i]) + ",";
    }
    out += "\n};\ninline constexpr std::uint64_t kWordBlocks[" + std::to_string(blocks.size()) +
           "][4] = {\n";
    for (const auto& b : blocks) {
        std::snprintf(line, sizeof line,
                      "    {0x%016llxull, 0x%016llxull, 0x%016llxull, 0x%016llxull},\n",
                      static_cast<unsigned long long>(b[0]), static_cast<unsigned long long>(b[1]),
                      static_cast<unsigned long long>(b[2]), static_cast<unsigned long long>(b[3]));
        out += line;
    }
    out += "};\n";

    FILE* f = std::fopen(argv[1], "wb");
    if (f == nullptr || std::fwrite(out.data(), 1, out.size(), f) != out.size() ||
        std::fclose(f) != 0) {
        std::perror(argv[1]);
        return 1;
    }
    return 0;
}

// The model text parser: splits a model text into its front-matter header and
// body, and lists the ref(), source() and {{ var }} references of the body.
#pragma once

#include <array>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "compiler/scanner.hpp"
#include "types/records.hpp"

namespace tovik::compiler::parser {

// Splits off the front-matter header and collects the ref(), source() and
// {{ var }} references of the body. Never fails.
ParsedSQL parse(std::string_view raw_sql);

// The header's entries in the order written, keys and values viewing the text;
// only a bracketed list, whose pieces are rejoined, is kept apart. Cheaper to
// build than a map for readers that look up a few keys, and the usual header
// needs no allocation. Searched from the back, so that of a key written twice
// the later value wins, as in the map.
class Header {
public:
    std::optional<std::string_view> find(std::string_view key) const;
    // A value as written views the text; a `built` one is copied in.
    void add(std::string_view key, std::string_view value, bool built);

private:
    struct Entry {
        std::string_view key;
        std::string_view value;  // as written; unused for a built value
        std::size_t built_at;    // npos, or the built value's place in built_
        std::size_t built_size;
    };
    static constexpr std::size_t kInline = 8;
    std::array<Entry, kInline> first_;
    std::size_t count_ = 0;
    std::vector<Entry> more_;
    // The built values, one after another; addressed by offset, since this
    // string's buffer moves with a header that is moved.
    std::string built_;
    std::string_view value_of(const Entry& e) const;
};

// The two parts of a model text; the body is a view of the text.
struct Sections {
    std::optional<Header> front_matter;
    std::string_view body;
};
Sections split(std::string_view raw_sql);

// Appends the names that hits of `body` hold, in order, each list grown once;
// placeholders only where `variables` is given.
void append_names(std::string_view body, std::span<const scanner::Hit> hits, StrList& refs,
                  StrPairList& sources, StrList* variables);

// Appends the references of a body in order of appearance; placeholders only
// where `variables` is given.
void collect(std::string_view body, StrList& refs, StrPairList& sources, StrList* variables);

}  // namespace tovik::compiler::parser

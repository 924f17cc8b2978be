// One pass over a model body that finds its three reference forms:
//
//   ref      "ref("    \s* Q (\w+) Q \s* ")"
//   source   "source(" \s* Q (\w+) Q \s* "," \s* Q (\w+) Q \s* ")"
//   var      "{{"      \s* (\w+) \s* "}}"
//
// where Q is a single or double quote, \w a Unicode word character (Alphabetic,
// Mark, Decimal_Number, Connector_Punctuation or Join_Control) and \s a
// White_Space character. Each form is matched as if scanned on its own,
// leftmost first and without overlapping its own earlier matches. Bytes that
// are not well-formed UTF-8 match nothing, so no match spans them.
//
// Every form opens with a distinct ASCII literal, and a match never holds the
// opening of another match after its own first bytes, so one forward pass with
// a cursor per form finds all of them in linear time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace tovik::compiler::scanner {

enum class Form : std::uint8_t { Ref, Source, Var };

// Byte offsets into the scanned text, end exclusive.
struct Span {
    std::size_t begin = 0;
    std::size_t end = 0;

    std::string_view of(std::string_view text) const { return text.substr(begin, end - begin); }
    bool operator==(const Span&) const = default;
};

struct Hit {
    Form form;
    Span match;     // the whole reference
    Span group[2];  // the quoted or braced names; group[1] only for a source (its table)
};

// A scan in progress over one text, for callers that take every hit in turn:
// it keeps the candidates it has found in the current block of the text, so
// that no block is searched again for every hit in it. Started at 0, it finds
// every reference in order of position; hits of different forms never overlap,
// so they can be spliced out of the text in that order. Started anywhere else
// it may find what a whole-text scan would not (a match overlapping an earlier
// one).
class Cursor {
public:
    explicit Cursor(std::string_view text, std::size_t from = 0)
        : s_(reinterpret_cast<const unsigned char*>(text.data())), n_(text.size()), next_(from) {}

    // The next reference, searching from the end of the last one found.
    bool next(Hit& hit) { return take(&hit, 1) == 1; }

    // The next `cap` references into out, fewer only where the text ends:
    // next() that many times, without a call per hit.
    std::size_t take(Hit* out, std::size_t cap);

private:
    const unsigned char* s_;
    std::size_t n_;
    std::size_t base_ = 0;      // position of bit 0 of mask_
    std::size_t next_;          // where the search goes on once mask_ is spent
    std::uint64_t mask_ = 0;    // candidates not yet tried, all before next_
};

// The leftmost var reference, as the first Var hit of a whole-text scan would be.
std::optional<Hit> first_var(std::string_view text);

}  // namespace tovik::compiler::scanner

#pragma once

#include <optional>
#include <string_view>

#include "types/records.hpp"

namespace tovik::compiler::parser {

// Splits off the front-matter header and collects the ref(), source() and
// {{ var }} references of the body. Never fails.
ParsedSQL parse(std::string_view raw_sql);

// The two parts of a model text; the body is a view of the text.
struct Sections {
    std::optional<StrMap> front_matter;
    std::string_view body;
};
Sections split(std::string_view raw_sql);

// Appends the references of a body in order of appearance; placeholders only
// where `variables` is given.
void collect(std::string_view body, StrList& refs, StrPairList& sources, StrList* variables);

}  // namespace tovik::compiler::parser

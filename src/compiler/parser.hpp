#pragma once

#include <string_view>

#include "types/records.hpp"

namespace tovik::compiler::parser {

// Splits off the front-matter header and collects the ref(), source() and
// {{ var }} references of the body. Never fails.
ParsedSQL parse(std::string_view raw_sql);

}  // namespace tovik::compiler::parser

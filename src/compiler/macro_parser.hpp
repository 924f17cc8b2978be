// The macro-call scanner: finds the calls of a caller's list of function names
// in SQL text, with their top-level arguments, skipping quoted literals.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "errors/error.hpp"
#include "types/records.hpp"

namespace tovik::compiler::macro_parser {

// One call of a known function; start and end are byte offsets into the SQL
// text, covering the name, any blanks and the parenthesised arguments.
struct MacroCall {
    std::string name;
    StrList args;
    std::uint64_t start;
    std::uint64_t end;
};

// Reports, in text order, the calls of the listed functions with their
// top-level arguments trimmed. Quoted literals are skipped; nested calls stay
// inside their enclosing call's arguments. A call whose parentheses (or a
// literal inside them) never close is an UnclosedParenthesis error, while a
// literal left open outside any call just ends the scan. Accepts any bytes.
Result<std::vector<MacroCall>> find_macro_calls(std::string_view sql,
                                                const StrList& known_functions);

}  // namespace tovik::compiler::macro_parser

// Apart from core_calls.cpp, so that the scanner's fuzzers, which link their
// own build of the scanner, pull in nothing else of the core.
#include "core_calls.hpp"

namespace tovik::support {

namespace sc = compiler::scanner;

std::vector<sc::Hit> scan(std::string_view text) {
    std::vector<sc::Hit> hits;
    sc::Cursor cursor(text);
    sc::Hit buffer[16];
    for (std::size_t k; (k = cursor.take(buffer, 16)) > 0;)
        hits.insert(hits.end(), buffer, buffer + k);
    return hits;
}

bool next_hit(std::string_view text, std::size_t from, sc::Hit& hit) {
    return sc::Cursor(text, from).next(hit);
}

}  // namespace tovik::support

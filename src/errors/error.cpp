#include "errors/error.hpp"

namespace tovik {

namespace {
template <class... F>
struct overloaded : F... {
    using F::operator()...;
};
template <class... F>
overloaded(F...) -> overloaded<F...>;
}  // namespace

std::string message(const TovikError& err) {
    return std::visit(
        overloaded{
            [](const UnresolvedVariable& e) {
                return "Unresolved variable: {{ " + e.name + " }}";
            },
            [](const UnknownSource& e) {
                return "Unknown source: source('" + e.source + "', '" + e.table + "') in model '" +
                       e.model + "'";
            },
            [](const InvalidMaterialization& e) {
                return "Invalid materialization: '" + e.materialization + "' in model '" +
                       e.model + "'";
            },
            [](const UnclosedParenthesis& e) {
                return "Unclosed parenthesis in macro call '" + e.name + "' at position " +
                       std::to_string(e.position);
            },
        },
        err);
}

}  // namespace tovik

// The system's one error type. Errors travel as values through the core and are
// turned into Python exceptions only at the boundary.
#pragma once

#include <cstdint>
#include <new>
#include <string>
#include <utility>
#include <variant>

namespace tovik {

struct UnresolvedVariable {
    std::string name;
};
struct UnknownSource {
    std::string model;
    std::string source;
    std::string table;
};
struct InvalidMaterialization {
    std::string model;
    std::string materialization;
};
struct UnclosedParenthesis {
    std::string name;
    std::uint64_t position;
};

using TovikError = std::variant<UnresolvedVariable, UnknownSource, InvalidMaterialization,
                                UnclosedParenthesis>;

std::string message(const TovikError& err);

// Thrown when a result would grow past a size the process can afford; the
// boundary raises it as MemoryError with this text.
class SizeLimitExceeded : public std::bad_alloc {
public:
    explicit SizeLimitExceeded(std::string what) : what_(std::move(what)) {}
    const char* what() const noexcept override { return what_.c_str(); }

private:
    std::string what_;
};

// A value or the first error; the core never throws for expected failures.
template <typename T>
class Result {
public:
    Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}
    Result(TovikError err) : v_(std::in_place_index<1>, std::move(err)) {}
    template <typename E, typename = std::enable_if_t<std::is_constructible_v<TovikError, E&&> &&
                                                      !std::is_same_v<std::decay_t<E>, T> &&
                                                      !std::is_same_v<std::decay_t<E>, TovikError>>>
    Result(E&& err) : v_(std::in_place_index<1>, TovikError(std::forward<E>(err))) {}

    bool ok() const { return v_.index() == 0; }
    explicit operator bool() const { return ok(); }
    T& value() { return std::get<0>(v_); }
    const T& value() const { return std::get<0>(v_); }
    TovikError& error() { return std::get<1>(v_); }
    const TovikError& error() const { return std::get<1>(v_); }

private:
    std::variant<T, TovikError> v_;
};

}  // namespace tovik

// Matching a call's arguments to a function's parameters, shared by every
// function and constructor of the module.
#pragma once

#include "lib/pyref.hpp"

#include <array>
#include <cstddef>

namespace tovik::py {

inline constexpr std::size_t kMaxParams = 8;

struct Params {
    const char* display;  // "parse_sql()" or "SourceInfo.__new__()"
    std::array<const char*, kMaxParams> names;
    std::size_t count;
    std::size_t required;
};

// A strong reference per parameter, empty where the caller gave none. Converting
// one argument may run Python code that drops the caller's last reference to
// another (a constructor's keyword dict can be cleared), so none is borrowed.
using Bound = std::array<Ref, kMaxParams>;

// Vectorcall form: positional vector, count, tuple of keyword names whose values
// follow the positional ones in `args`.
bool bind(const Params& p, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Bound& out);

// tp_new form: positional tuple and keyword dict (either may be null).
bool bind(const Params& p, PyObject* args, PyObject* kwargs, Bound& out);

// Called after a conversion failed: prefixes a TypeError with the parameter's
// name, leaves other exceptions as they are.
void name_argument_error(const char* name);


// The "'{}' object cannot be converted to '{}'" TypeError.
void set_conversion_error(PyObject* obj, const char* target);

}  // namespace tovik::py

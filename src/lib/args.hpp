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

// Borrowed argument per parameter, null where the caller gave none.
using Bound = std::array<PyObject*, kMaxParams>;

// Vectorcall form: positional vector, count, tuple of keyword names whose values
// follow the positional ones in `args`.
bool bind(const Params& p, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Bound& out);

// tp_new form: positional tuple and keyword dict (either may be null).
bool bind(const Params& p, PyObject* args, PyObject* kwargs, Bound& out);

// Called after a conversion failed: prefixes a TypeError with the parameter's
// name, leaves other exceptions as they are.
void name_argument_error(const char* name);

// Lists and tuples, and whatever counts as a collections.abc.Sequence; a
// failing check is a no.
bool is_sequence(PyObject* o);

// The "'{}' object cannot be converted to '{}'" TypeError.
void set_conversion_error(PyObject* obj, const char* target);

}  // namespace tovik::py

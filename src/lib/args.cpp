#include "lib/args.hpp"

#include <string>

namespace tovik::py {

namespace {

bool too_many_positional(const Params& p, Py_ssize_t nargs) {
    const char* verb = nargs == 1 ? "was" : "were";
    if (p.required == p.count) {
        PyErr_Format(PyExc_TypeError, "%s takes %zu positional arguments but %zd %s given",
                     p.display, p.count, nargs, verb);
    } else {
        PyErr_Format(PyExc_TypeError,
                     "%s takes from %zu to %zu positional arguments but %zd %s given", p.display,
                     p.required, p.count, nargs, verb);
    }
    return false;
}

// Places one keyword argument; false with an exception set on a problem.
bool place_keyword(const Params& p, PyObject* key, PyObject* value, Bound& out) {
    for (std::size_t i = 0; i < p.count; ++i) {
        if (PyUnicode_CompareWithASCIIString(key, p.names[i]) == 0) {
            if (out[i]) {
                PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'",
                             p.display, p.names[i]);
                return false;
            }
            out[i] = Ref::borrow(value);
            return true;
        }
    }
    PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'", p.display, key);
    return false;
}

bool check_required(const Params& p, const Bound& out) {
    std::size_t missing[kMaxParams];
    std::size_t n = 0;
    for (std::size_t i = 0; i < p.required; ++i)
        if (!out[i]) missing[n++] = i;
    if (n == 0) return true;
    std::string names;
    for (std::size_t k = 0; k < n; ++k) {
        if (k > 0) names += (n == 2) ? " and " : (k + 1 == n ? ", and " : ", ");
        names += '\'';
        names += p.names[missing[k]];
        names += '\'';
    }
    PyErr_Format(PyExc_TypeError, "%s missing %zu required positional %s: %s", p.display, n,
                 n == 1 ? "argument" : "arguments", names.c_str());
    return false;
}

}  // namespace

bool bind(const Params& p, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
          Bound& out) {
    if (nargs > static_cast<Py_ssize_t>(p.count)) return too_many_positional(p, nargs);
    for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = Ref::borrow(args[i]);
    // The usual call: positional arguments only, every required one given.
    if (kwnames == nullptr && nargs >= static_cast<Py_ssize_t>(p.required)) return true;
    if (kwnames != nullptr) {
        const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k)
            if (!place_keyword(p, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], out))
                return false;
    }
    return check_required(p, out);
}

bool bind(const Params& p, PyObject* args, PyObject* kwargs, Bound& out) {
    const Py_ssize_t nargs = args != nullptr ? PyTuple_GET_SIZE(args) : 0;
    if (nargs > static_cast<Py_ssize_t>(p.count)) return too_many_positional(p, nargs);
    for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = Ref::borrow(PyTuple_GET_ITEM(args, i));
    if (kwargs != nullptr) {
        Py_ssize_t pos = 0;
        PyObject* key;
        PyObject* value;
        while (PyDict_Next(kwargs, &pos, &key, &value))
            if (!place_keyword(p, key, value, out)) return false;
    }
    return check_required(p, out);
}

void name_argument_error(const char* name) {
    PyObject* exc = PyErr_GetRaisedException();
    if (exc == nullptr) return;
    if (Py_TYPE(exc) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
        PyErr_SetRaisedException(exc);
        return;
    }
    Ref cause(PyException_GetCause(exc));
    Ref renamed(PyUnicode_FromFormat("argument '%s': %S", name, exc));
    Py_DECREF(exc);
    if (!renamed) return;
    Ref err(PyObject_CallOneArg(PyExc_TypeError, renamed.get()));
    if (!err) return;
    // Setting the cause, even to nothing, also suppresses the context, as callers
    // of the binding layer have always seen.
    PyException_SetCause(err.get(), cause.release());
    PyErr_SetRaisedException(err.release());
}

void set_conversion_error(PyObject* obj, const char* target) {
    Ref qualname(PyType_GetQualName(Py_TYPE(obj)));
    if (!qualname) return;
    PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to '%s'", qualname.get(),
                 target);
}

}  // namespace tovik::py

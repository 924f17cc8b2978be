// Turning a core result into a Python object or the system's ValueError.
#pragma once

#include "errors/error.hpp"
#include "lib/convert.hpp"

namespace tovik::py {

inline void raise_error(const TovikError& err) {
    const std::string text = message(err);
    Ref msg(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
    if (msg) PyErr_SetObject(PyExc_ValueError, msg.get());
}

template <typename T>
PyObject* result_to_py(Result<T>&& r) {
    if (!r.ok()) {
        raise_error(r.error());
        return nullptr;
    }
    return to_py(std::move(r.value()));
}

}  // namespace tovik::py

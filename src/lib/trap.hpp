// The fault trap around every entry point: no C++ exception may cross into the
// interpreter.
#pragma once

#include "lib/pyref.hpp"

namespace tovik::py {

// The exception type for internal faults, created once per process.
PyObject* panic_type();
// Sets the current exception for a fault that escaped the core.
void raise_current_fault() noexcept;

template <typename F>
PyObject* trap(F&& body) noexcept {
    try {
        return body();
    } catch (...) {
        raise_current_fault();
        return nullptr;
    }
}

}  // namespace tovik::py

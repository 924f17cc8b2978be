#include "lib/trap.hpp"

#include "errors/error.hpp"
#include "util/interrupt.hpp"

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <new>

namespace tovik::py {

PyObject* panic_type() {
    static PyObject* type = nullptr;
    if (type == nullptr) {
        type = PyErr_NewExceptionWithDoc(
            "pyo3_runtime.PanicException",
            "Raised when the native core meets an internal fault.\n\n"
            "It derives from BaseException so that a plain `except Exception`\n"
            "does not swallow it.",
            PyExc_BaseException, nullptr);
    }
    return type;
}

namespace {
void raise_panic(const char* what) {
    PyObject* type = panic_type();
    if (type == nullptr) return;  // the failure to create it is already set
    PyErr_SetString(type, what);
}
}  // namespace

void raise_current_fault() noexcept {
    try {
        try {
            throw;
        } catch (const util::Interrupted&) {
            // The stop check has set the exception its signal handler raised.
            if (!PyErr_Occurred()) PyErr_SetNone(PyExc_KeyboardInterrupt);
        } catch (const SizeLimitExceeded& e) {
            PyErr_SetString(PyExc_MemoryError, e.what());
        } catch (const std::bad_alloc&) {
            PyErr_NoMemory();
        } catch (const std::exception& e) {
            raise_panic(e.what());
        } catch (...) {
            raise_panic("internal fault without a message");
        }
    } catch (...) {
        std::fputs("uncaught panic at ffi boundary\n", stderr);
        std::abort();
    }
}

}  // namespace tovik::py

#include "src/boundary/panic_exception.hpp"

#include "src/boundary/fetch_error.hpp"

#include <atomic>

namespace corvane {

namespace {

constexpr const char* kName = "corvane_runtime.PanicException";
constexpr const char* kDoc =
    "\nThe exception raised when corvane's own code, called from Python, fails unexpectedly.\n"
    "\nLike SystemExit, this exception is derived from BaseException so that it will\n"
    "typically propagate all the way through the stack and cause the Python interpreter to "
    "exit.\n";

std::atomic<PyObject*> stored_type{nullptr};

} // namespace

Borrowed existing_panic_exception_type() noexcept {
    return stored_type.load(std::memory_order_acquire);
}

Borrowed panic_exception_type() noexcept {
    if (Borrowed type = existing_panic_exception_type()) [[likely]] {
        return type;
    }
    // Creating a class can run interpreter code that lets another thread in; the first
    // type stored wins and a later one is released.
    Owned created =
        Owned::steal(PyErr_NewExceptionWithDoc(kName, kDoc, PyExc_BaseException, nullptr));
    if (!created) {
        // Creating a class fails like any other call (at the recursion limit, say): that error
        // is the one the caller sees. The interpreter always sets one; should it not, the
        // caller still gets an exception rather than a null result with none set.
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_SystemError, kNoErrorSet);
        }
        return nullptr;
    }
    PyObject* expected = nullptr;
    if (stored_type.compare_exchange_strong(expected, created.get())) {
        return created.release();
    }
    return expected;
}

} // namespace corvane

#include "src/boundary/panic_exception.hpp"

#include "src/boundary/internal_failure.hpp"
#include "src/boundary/render_object.hpp"

#include <atomic>
#include <optional>
#include <string>

namespace corvane {

namespace {

constexpr const char* kName = "corvane_runtime.PanicException";
constexpr const char* kDoc =
    "\nThe exception raised when corvane's own code, called from Python, fails unexpectedly.\n"
    "\nLike SystemExit, this exception is derived from BaseException so that it will\n"
    "typically propagate all the way through the stack and cause the Python interpreter to "
    "exit.\n";

std::atomic<PyObject*> stored_type{nullptr};

[[noreturn]] void fail_to_create() {
    // Taken as fetch_error takes an error, minus the PanicException check: the type that
    // check needs is the one that could not be made.
    std::string detail = "attempted to fetch exception but none was set";
    if (Owned error = Owned::steal(PyErr_GetRaisedException())) {
        Owned text = Owned::steal(PyObject_Str(error.get()));
        std::optional<std::string> utf8 = text ? utf8_of_str(text.borrow()) : std::nullopt;
        detail = utf8 ? std::move(*utf8) : "<unprintable error>";
        PyErr_Clear();
    }
    fail_internally("Failed to initialize new exception type.: " + detail);
}

} // namespace

Borrowed panic_exception_type() {
    if (PyObject* type = stored_type.load(std::memory_order_acquire)) [[likely]] {
        return type;
    }
    // Creating a class can run interpreter code that lets another thread in; the first
    // type stored wins and a later one is released.
    Owned created =
        Owned::steal(PyErr_NewExceptionWithDoc(kName, kDoc, PyExc_BaseException, nullptr));
    if (!created) {
        fail_to_create();
    }
    PyObject* expected = nullptr;
    if (stored_type.compare_exchange_strong(expected, created.get())) {
        return created.release();
    }
    return expected;
}

} // namespace corvane

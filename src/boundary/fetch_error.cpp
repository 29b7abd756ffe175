#include "src/boundary/fetch_error.hpp"

#include "src/boundary/internal_failure.hpp"
#include "src/boundary/panic_exception.hpp"
#include "src/boundary/render_object.hpp"

#include <cstdio>

namespace corvane {

namespace {

constexpr const char* kUnwrappedPanic = "Unwrapped panic from Python code";

// The text of a panic being resumed. str() failing leaves the fallback text, unless what it
// raised is a stop request (KeyboardInterrupt, SystemExit): that ends the call in place of the
// panic. A PanicException from that str() is not resumed in turn, since a __str__ can raise a
// new one each time without end.
PyResult<std::string> panic_text(Borrowed panic) {
    if (Owned str = Owned::steal(PyObject_Str(panic.get()))) {
        return utf8_of_str(str.borrow()).value_or(kUnwrappedPanic);
    }
    Owned failure = Owned::steal(PyErr_GetRaisedException());
    if (failure && is_stop_request(failure.borrow()) &&
        Py_TYPE(failure.get()) != Py_TYPE(panic.get())) {
        return fail(PythonError::realised(std::move(failure)));
    }
    return kUnwrappedPanic;
}

PythonError resume_panic(Owned panic) {
    auto text = panic_text(panic.borrow());
    if (!text) {
        // The panic is not lost: the stop request shows it as the exception it interrupted.
        PyException_SetContext(text.error().exception().get(), panic.release());
        return std::move(text.error());
    }
    std::fputs("--- corvane is resuming a panic after fetching a PanicException from Python. ---\n"
               "Python stack trace below:\n",
               stderr);
    PyErr_SetRaisedException(panic.release());
    PyErr_PrintEx(0);
    // The banner and traceback above are this failure's report.
    fail_internally_quietly(std::move(*text));
}

} // namespace

PythonError fetch_error() {
    Owned raised = Owned::steal(PyErr_GetRaisedException());
    if (!raised) {
        return PythonError::deferred(PyExc_SystemError, kNoErrorSet);
    }
    // No PanicException exists before its type does, so none is made just to compare.
    Borrowed panic = existing_panic_exception_type();
    if (panic && Py_TYPE(raised.get()) == reinterpret_cast<PyTypeObject*>(panic.get())) {
        return resume_panic(std::move(raised));
    }
    return PythonError::realised(std::move(raised));
}

} // namespace corvane

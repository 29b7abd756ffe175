#include "src/boundary/fetch_error.hpp"

#include "src/boundary/internal_failure.hpp"
#include "src/boundary/panic_exception.hpp"
#include "src/boundary/render_object.hpp"

#include <cstdio>

namespace corvane {

namespace {

[[noreturn]] void resume_panic(Owned panic) {
    std::string text = "Unwrapped panic from Python code";
    if (Owned str = Owned::steal(PyObject_Str(panic.get()))) {
        if (std::optional<std::string> utf8 = utf8_of_str(str.borrow())) {
            text = std::move(*utf8);
        }
    }
    PyErr_Clear();
    std::fputs("--- corvane is resuming a panic after fetching a PanicException from Python. ---\n"
               "Python stack trace below:\n",
               stderr);
    PyErr_SetRaisedException(panic.release());
    PyErr_PrintEx(0);
    // The banner and traceback above are this failure's report.
    fail_internally_quietly(std::move(text));
}

} // namespace

PythonError fetch_error() {
    Owned raised = Owned::steal(PyErr_GetRaisedException());
    if (!raised) {
        return PythonError::deferred(PyExc_SystemError,
                                     "attempted to fetch exception but none was set");
    }
    if (Py_TYPE(raised.get()) == reinterpret_cast<PyTypeObject*>(panic_exception_type().get())) {
        resume_panic(std::move(raised));
    }
    return PythonError::realised(std::move(raised));
}

} // namespace corvane

// Turning the interpreter's pending exception into a PythonError.
#pragma once

#include "src/boundary/python_error.hpp"

namespace corvane {

// Takes (and clears) the pending exception. With none pending, the result is a SystemError.
// A PanicException raised by Python code that corvane called is not passed on as an
// ordinary error: its traceback is printed and the panic resumes as an internal failure.
PythonError fetch_error();

// The failed result of a C API call that has signalled failure.
inline std::unexpected<PythonError> fetched_error() {
    return fail(fetch_error());
}

} // namespace corvane

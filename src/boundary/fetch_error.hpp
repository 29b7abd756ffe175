// Turning the interpreter's pending exception into a PythonError.
#pragma once

#include "src/boundary/python_error.hpp"

namespace corvane {

// Takes (and clears) the pending exception. With none pending, the result is a SystemError.
// A PanicException raised by Python code that corvane called is not passed on as an
// ordinary error: its traceback is printed and the panic resumes as an internal failure
// (unless a stop request interrupts the rendering of its text: that is the result then).
PythonError fetch_error();

// The interpreter's own text for an error asked for where none was set.
inline constexpr const char* kNoErrorSet = "attempted to fetch exception but none was set";

// Whether an exception asks the program to stop rather than reports a fault: it does not
// derive from Exception (KeyboardInterrupt, SystemExit, PanicException, ...). corvane never
// trades one of these for an error of its own.
inline bool is_stop_request(Borrowed exception) {
    return !PyObject_TypeCheck(exception.get(), reinterpret_cast<PyTypeObject*>(PyExc_Exception));
}

// Makes `context` part of the __context__ chain of `raised`, an exception raised while corvane
// was dealing with `context` (rendering a panic, restoring sys.modules after a failed build), as
// the interpreter chains an exception raised while another is being handled: `context` comes in
// where `raised`'s own chain would reach `context`'s chain, or would end. Should `raised` be in
// `context`'s chain already (re-raised from there), it is moved out of it first, where the
// interpreter cuts the chain so as not to make a cycle. Unlike the interpreter, which replaces
// the context of the exception it raises, this drops nothing that either chain held, and it
// cuts a loop already in either chain, so that a walk along __context__ always ends. Runs no
// Python code.
void chain_context(Borrowed raised, Borrowed context);

// The failed result of a C API call that has signalled failure.
inline std::unexpected<PythonError> fetched_error() {
    return fail(fetch_error());
}

} // namespace corvane

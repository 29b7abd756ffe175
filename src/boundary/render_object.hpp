// Text of Python objects for use inside corvane's messages.
#pragma once

#include "src/boundary/internal_failure.hpp"
#include "src/boundary/python_error.hpp"

#include <optional>
#include <string>

namespace corvane {

// The text of a str as an internal failure carries it: in a str of the exact type whose UTF-8
// form the interpreter has made and keeps (the str itself, a copy of a str subclass's
// characters, or, where it holds lone surrogates, which UTF-8 cannot hold, a copy with U+FFFD
// in their place), so that passing it on needs no copy. Empty (with no error pending) only when
// the interpreter cannot even do that.
std::optional<FailureText> failure_text_of_str(Borrowed str);

// The UTF-8 text of a name the interpreter has just made for a message (PyType_GetName and the
// like; takes the new reference), or nothing when it could not make or encode it. Any error
// that leaves behind is cleared: a message falls back to a placeholder instead.
std::optional<std::string> utf8_of_name(PyObject* created_name);

// What is being rendered: any object (a keyword, which may even be an exception), or an error
// being handled (wrapped in another, reported in a panic's text).
enum class Rendering { object, handled_error };

// str(object) as UTF-8 (lone surrogates as U+FFFD). When the object's own str() raises an
// ordinary exception, that is written to the unraisable hook and the text is "<unprintable
// {type} object>". A stop request that str() raises (KeyboardInterrupt, SystemExit, ...), and
// any exception of a signal handler that is due (run_due_signal_handlers, given the object when
// it is an error being handled), is the result instead, for the caller to raise in place of the
// message; a PanicException resumes as fetch_error resumes it. Otherwise fails only as object
// creation does, for want of memory.
PyResult<std::string> render_object(Borrowed object, Rendering rendering = Rendering::object);

// Runs the signal handlers that are due, as str() runs them before anything else: an exception
// that one raises (a deadline's TimeoutError, a Ctrl-C's KeyboardInterrupt) is no failure of the
// object to render, and is the result, for the caller to raise in place of the message. The
// exception being handled (a TypeError being wrapped, a panic being resumed), if any, becomes
// the context of the handler's exception, as when a handler runs while the interpreter handles
// an exception; any other object rendered, an exception used as a keyword say, does not.
PyStatus run_due_signal_handlers(Borrowed handled);

} // namespace corvane

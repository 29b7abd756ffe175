// Python errors as values.
//
// A PythonError is the exception a caller is to see. corvane's own errors start deferred
// (an exception class and a message; nothing exists in the interpreter yet) so that error
// paths that are caught and replaced cost no objects; the interpreter's errors arrive
// realised (the exception object itself). Inspecting a deferred error realises it, once.
#pragma once

#include "src/boundary/refs.hpp"

#include <expected>
#include <memory>
#include <string>
#include <utility>
#include <variant>

namespace corvane {

class PythonError {
  public:
    // A deferred error of one of the interpreter's fixed exception classes (PyExc_*).
    static PythonError deferred(PyObject* exception_class, std::string message);
    // A deferred PanicException; its argument is a one-element tuple holding the message.
    static PythonError panic(std::string message);
    // A deferred TypeError "'{qualname}' object cannot be converted to '{target}'", whose
    // text is only made when the error is realised.
    static PythonError type_mismatch(BorrowedRef<PyTypeObject> given, std::string target);
    // The interpreter's own exception object.
    static PythonError realised(Owned exception);

    // Sets the error as the interpreter's current exception (consumes it).
    void raise() &&;
    // The exception object, realising a deferred error first.
    Borrowed exception();
    // Takes the exception object out, realising a deferred error first.
    Owned take_exception() &&;

  private:
    struct Message {
        PyObject* exception_class; // null for PanicException, which exists only on demand
        std::string text;
    };
    struct TypeMismatch {
        OwnedRef<PyTypeObject> given;
        std::string target;
    };
    using State = std::variant<Message, TypeMismatch, Owned>;

    explicit PythonError(State state) : state_(std::make_unique<State>(std::move(state))) {}
    void realise();

    // Kept behind one pointer so that a PyResult on the success path is a value and a null
    // pointer: cheap to return and move through every layer of a call.
    std::unique_ptr<State> state_;
};

template <class T> using PyResult = std::expected<T, PythonError>;
using PyStatus = PyResult<void>;

// Forwards the error of a failed result (the `?` of this code base).
template <class T> std::unexpected<PythonError> forward_error(PyResult<T>& failed) {
    return std::unexpected<PythonError>(std::move(failed.error()));
}
inline std::unexpected<PythonError> fail(PythonError error) {
    return std::unexpected<PythonError>(std::move(error));
}

} // namespace corvane

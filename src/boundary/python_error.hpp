// Python errors as values.
//
// A PythonError is the exception a caller is to see. corvane's own errors start deferred
// (an exception class and a message; nothing exists in the interpreter yet) so that error
// paths that are caught and replaced cost no objects; the interpreter's errors arrive
// realised (the exception object itself). Inspecting a deferred error realises it, once.
#pragma once

#include "src/boundary/refs.hpp"

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

namespace corvane {

// An error of one of the interpreter's fixed exception classes with a literal text, both of
// static storage: such an error needs no memory until it is raised.
struct FixedError {
    PyObject* const* exception_class; // &PyExc_*
    std::string_view text;
};

class PythonError {
  public:
    // A deferred error of one of the interpreter's fixed exception classes (PyExc_*).
    static PythonError deferred(PyObject* exception_class, std::string message);
    static PythonError deferred(const FixedError& fixed) noexcept;
    // A deferred PanicException; its argument is a one-element tuple holding the message.
    static PythonError panic(std::string message);
    // A deferred TypeError "'{qualname}' object cannot be converted to '{target}'", whose
    // text is only made when the error is realised; `target` is a name of static storage.
    static PythonError type_mismatch(BorrowedRef<PyTypeObject> given, std::string_view target);
    // The interpreter's own exception object.
    static PythonError realised(Owned exception) noexcept;

    PythonError(PythonError&& other) noexcept : word_(std::exchange(other.word_, 0)) {}
    PythonError& operator=(PythonError&& other) noexcept {
        if (this != &other) {
            release_state();
            word_ = std::exchange(other.word_, 0);
        }
        return *this;
    }
    ~PythonError() {
        if (word_ != 0) {
            release_state();
        }
    }

    // Sets the error as the interpreter's current exception (consumes it). When the interpreter
    // cannot make a deferred error's message, its own error (a MemoryError) is set instead.
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
        std::string_view target;
    };
    using Composed = std::variant<Message, TypeMismatch>;

    // One word, so that a PyResult on the success path is a value and a null word: cheap to
    // return and move through every layer of a call. The low bits tell what it points to: a
    // composed error on the heap, the interpreter's exception object (owned), or a FixedError.
    // Only a composed error needs memory of the C++ heap; the others can be passed on and
    // raised when it has run out.
    enum Tag : std::uintptr_t { kComposed = 0, kRealised = 1, kFixed = 2, kTagBits = 3 };
    explicit PythonError(std::uintptr_t word) noexcept : word_(word) {}
    static PythonError composed(Composed state);
    void release_state() noexcept;
    void realise();

    std::uintptr_t word_;
};

// Raises a PanicException whose argument is a one-element tuple holding `text`, or `message`
// (a str of that text) when there is one. Needs no memory of the C++ heap. When the interpreter
// cannot make the text's str or the tuple, its error is printed and the panic says "Python API
// call failed", made from a tuple set aside while there was memory. With no PanicException type
// to be had, the error that kept it from being made is left pending instead; only when nothing
// at all can be raised does the process end.
void raise_panic(std::string_view text, Borrowed message = {}) noexcept;

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

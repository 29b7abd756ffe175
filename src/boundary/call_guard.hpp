// The call guard around every entry from the interpreter.
//
// A body returns PyResult<T>. The guard turns it into the C result the interpreter expects:
// the value on success; on a PythonError, that error raised and the entry's error result;
// on an internal failure (any C++ exception), a PanicException carrying its message, except
// that the C++ heap running out (std::bad_alloc) is a MemoryError, as the interpreter's own heap
// running out is. None of this needs memory of the C++ heap. Nothing thrown ever leaves the
// guard: if even the PanicException cannot be raised, the process aborts with "uncaught panic
// at ffi boundary".
#pragma once

#include "src/boundary/python_error.hpp"

#include <type_traits>

namespace corvane {

// Raise helpers for the guard; all are noexcept and abort as the last resort.
void raise_error_or_panic(PythonError error) noexcept;
void raise_current_failure_as_panic() noexcept;
void report_current_failure_as_unraisable() noexcept;

// How a body's value becomes the entry's C result, and what its error result is.
inline PyObject* to_c_result(Owned value) noexcept {
    return value.release();
}
inline Py_ssize_t to_c_result(Py_ssize_t value) noexcept {
    return value;
}

template <class T> struct EntryResult {
    using type = T;
    static constexpr T error = -1; // __len__
};
template <> struct EntryResult<Owned> {
    using type = PyObject*;
    static constexpr PyObject* error = nullptr; // functions, constructors, reads, subscripts
};
template <> struct EntryResult<void> {
    using type = int;
    static constexpr int error = -1; // attribute assignment and deletion
};

// The guard of a body that returns a PyResult; see call_guard.
template <class Body> [[gnu::always_inline]] inline auto call_guard_result(Body&& body) noexcept {
    using Value = typename std::invoke_result_t<Body>::value_type;
    using Entry = EntryResult<Value>;
    try {
        auto result = body();
        if (result) [[likely]] {
            if constexpr (std::is_void_v<Value>) {
                return 0;
            } else {
                return to_c_result(std::move(*result));
            }
        }
        raise_error_or_panic(std::move(result.error()));
    } catch (...) {
        raise_current_failure_as_panic();
    }
    return Entry::error;
}

template <class T> inline constexpr bool is_py_result = false;
template <class T> inline constexpr bool is_py_result<PyResult<T>> = true;

// Always inlined into its entry, with the body: the body's result then stays in registers
// instead of going through memory, and the moved-out value's destructor folds away. A body
// that raises no Python error (it may still fail internally) returns its value as it is, with
// no PyResult around it: not every compiler folds away a moved-out PyResult's destructor, and
// that would be a call on the hot path.
template <class Body> [[gnu::always_inline]] inline auto call_guard(Body&& body) noexcept {
    using Result = std::invoke_result_t<Body>;
    if constexpr (is_py_result<Result>) {
        return call_guard_result(std::forward<Body>(body));
    } else {
        try {
            return to_c_result(body());
        } catch (...) {
            raise_current_failure_as_panic();
        }
        return EntryResult<Result>::error;
    }
}

// Deallocation has no caller to raise to: an internal failure is reported as unraisable.
template <class Body> void dealloc_guard(Body&& body) noexcept {
    try {
        body();
    } catch (...) {
        report_current_failure_as_unraisable();
    }
}

} // namespace corvane

#include "src/boundary/call_guard.hpp"

#include "src/boundary/internal_failure.hpp"

namespace corvane {

namespace {

void raise_panic(std::string message) noexcept {
    try {
        PythonError::panic(std::move(message)).raise();
    } catch (...) {
        // The panic's own message or tuple could not be made. A panic that says so ("Python
        // API call failed") is still better than ending the process over what may be one
        // failed allocation; only when that cannot be raised either is there nothing left.
        try {
            PythonError::panic(current_failure_message()).raise();
        } catch (...) {
            abort_at_ffi_boundary(current_failure_message());
        }
    }
}

} // namespace

void raise_error_or_panic(PythonError error) noexcept {
    try {
        std::move(error).raise();
    } catch (...) {
        // The error's message could not even be made; the panic that says so is the
        // exception the caller gets, and only if that fails too does the process end.
        raise_panic(current_failure_message());
    }
}

void raise_current_failure_as_panic() noexcept {
    raise_panic(current_failure_message());
}

void report_current_failure_as_unraisable() noexcept {
    raise_panic(current_failure_message());
    PyErr_WriteUnraisable(nullptr);
}

} // namespace corvane

#include "src/boundary/call_guard.hpp"

#include "src/boundary/internal_failure.hpp"

#include <new>

namespace corvane {

namespace {

// The failure being handled, raised for the caller. An internal failure becomes a panic with its
// text, which it carries without a copy. The C++ heap running out is not a fault of corvane's
// but what the interpreter reports as a MemoryError when its own heap does: the error or result
// that was being made when it ran out is lost, and a MemoryError is raised in its place.
void raise_current_failure() noexcept {
    try {
        throw;
    } catch (const InternalFailure& failure) {
        raise_panic(failure.text().text(), failure.text().object());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (...) {
        raise_panic(current_failure_message());
    }
}

} // namespace

void raise_error_or_panic(PythonError error) noexcept {
    try {
        std::move(error).raise();
    } catch (...) {
        // The error's message could not even be made; the panic that says so is the
        // exception the caller gets.
        raise_current_failure();
    }
}

void raise_current_failure_as_panic() noexcept {
    raise_current_failure();
}

void report_current_failure_as_unraisable() noexcept {
    raise_current_failure();
    PyErr_WriteUnraisable(nullptr);
}

} // namespace corvane

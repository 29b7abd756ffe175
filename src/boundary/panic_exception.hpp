// PanicException: what a Python caller sees when corvane's own code fails. It derives from
// BaseException alone, like SystemExit, so that `except Exception` does not swallow it.
#pragma once

#include "src/boundary/refs.hpp"

namespace corvane {

// The process-wide PanicException type, created on its first need and never released.
// Null when the interpreter cannot create it, with the error that prevented it pending: that
// error is then what the caller gets in place of the panic.
Borrowed panic_exception_type() noexcept;

// The type if it has been created, else null. Until it exists no object can be a
// PanicException, so a test for one needs no type made for it.
Borrowed existing_panic_exception_type() noexcept;

} // namespace corvane

// PanicException: what a Python caller sees when corvane's own code fails. It derives from
// BaseException alone, like SystemExit, so that `except Exception` does not swallow it.
#pragma once

#include "src/boundary/refs.hpp"

namespace corvane {

// The process-wide PanicException type, created on its first need and never released.
// Fails internally when the interpreter cannot create it.
Borrowed panic_exception_type();

} // namespace corvane

// The call nearly every caller makes, recognised before any binding or conversion starts.
//
// Every argument given by position and each a small int in its parameter's range: such a call
// binds and converts exactly as the general path would (see argument_binding.hpp and
// integer_conversion.hpp), with no error to report and no Python code that could run, so an
// entry may take its values from here and keep the general path, out of line, for every other
// call. The hot path then holds nothing in memory but what it writes: no argument slots and no
// result objects of the binding and conversion steps.
#pragma once

#include "src/boundary/integer_conversion.hpp"

#include <cstddef>

namespace corvane {

// True, with every value read, when a vector call passes exactly one positional argument per
// value, no keywords, and each argument is a compact int in its value's range. False for any
// other call, which is then the general path's to bind, convert and report on from the start
// (the values may have been partly written; they are not to be used).
template <class... Unsigned>
[[gnu::always_inline]] inline bool read_compact_positional(PyObject* const* args, Py_ssize_t nargs,
                                                           PyObject* kwnames,
                                                           Unsigned&... values) noexcept {
    if (kwnames != nullptr || nargs != static_cast<Py_ssize_t>(sizeof...(Unsigned))) {
        return false;
    }
    std::size_t index = 0;
    return (read_compact_unsigned(args[index++], values) && ...);
}

} // namespace corvane

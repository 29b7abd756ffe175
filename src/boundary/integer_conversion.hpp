// Conversion of Python objects to fixed-width unsigned integers.
//
// The 8-, 16- and 32-bit members go through a signed 64-bit value (PyLong_AsLong), so that an
// int, a bool or any object with __index__ is accepted; anything outside the member's range,
// negatives included, is "out of range integral type conversion attempted". The 64-bit
// member uses the interpreter's unsigned conversion and its own OverflowError.
#pragma once

#include "src/boundary/python_error.hpp"

#include <cstdint>
#include <limits>

namespace corvane {

namespace detail {
[[gnu::cold]] PythonError out_of_range();
[[gnu::cold]] PythonError conversion_failure();
PyResult<std::uint64_t> convert_u64_via_index(Borrowed object);
} // namespace detail

template <class Unsigned>
    requires(std::numeric_limits<Unsigned>::is_integer &&
             !std::numeric_limits<Unsigned>::is_signed && sizeof(Unsigned) < sizeof(std::uint64_t))
PyResult<Unsigned> convert_unsigned(Borrowed object) {
    long value = PyLong_AsLong(object.get());
    if (value == -1 && PyErr_Occurred()) [[unlikely]] {
        return fail(detail::conversion_failure());
    }
    if (static_cast<unsigned long>(value) > std::numeric_limits<Unsigned>::max()) [[unlikely]] {
        return fail(detail::out_of_range());
    }
    return static_cast<Unsigned>(value);
}

inline PyResult<std::uint64_t> convert_u64(Borrowed object) {
    if (!PyLong_Check(object.get())) [[unlikely]] {
        return detail::convert_u64_via_index(object);
    }
    unsigned long long value = PyLong_AsUnsignedLongLong(object.get());
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) [[unlikely]] {
        return fail(detail::conversion_failure());
    }
    return static_cast<std::uint64_t>(value);
}

inline PyResult<std::uint8_t> convert_u8(Borrowed object) {
    return convert_unsigned<std::uint8_t>(object);
}
inline PyResult<std::uint16_t> convert_u16(Borrowed object) {
    return convert_unsigned<std::uint16_t>(object);
}
inline PyResult<std::uint32_t> convert_u32(Borrowed object) {
    return convert_unsigned<std::uint32_t>(object);
}

} // namespace corvane

// Conversion of Python objects to fixed-width unsigned integers.
//
// The 8-, 16- and 32-bit members go through a signed 64-bit value (see as_int64), so that an
// int, a bool or any object with __index__ is accepted; anything outside the member's range,
// negatives included, is "out of range integral type conversion attempted". The 64-bit
// member uses the interpreter's unsigned conversion and its own OverflowError. The ranges and
// texts are the same on every platform, whatever the width of C long.
//
// Every member first tries to read a small int directly (see read_compact_int); this gives the
// same value the interpreter's conversion would, and whatever it does not accept takes the
// interpreter's conversion, so results and errors are those described above.
#pragma once

#include "src/boundary/python_error.hpp"

#include <cstddef>
#include <cstdint>
#include <limits>

namespace corvane {

namespace detail {
[[gnu::cold]] PythonError out_of_range();
[[gnu::cold]] PythonError conversion_failure();
PyResult<std::uint64_t> convert_u64_via_index(Borrowed object);
PyResult<std::int64_t> as_int64(Borrowed object);

// The value of an int small enough to be stored in a single digit, read straight from the
// object (the interpreter's own inline accessors, in its unstable API tier: corvane is built
// for each interpreter version anyway). Nearly every argument is such an int, and this spares
// it the general conversion's call and checks. False for anything else: a larger int, or an
// object that is no int at all, whose conversion may run Python code. Only an exact int is read:
// that test compares the type with int's, where the test for any int also loads the type's
// flags; an int subclass (bool, an IntEnum) takes the general path, which reads it the same.
[[gnu::always_inline]] inline bool read_compact_int(PyObject* object, Py_ssize_t& value) noexcept {
    if (!PyLong_CheckExact(object)) {
        return false;
    }
    auto* number = reinterpret_cast<PyLongObject*>(object);
    if (!PyUnstable_Long_IsCompact(number)) [[unlikely]] {
        return false;
    }
    value = PyUnstable_Long_CompactValue(number);
    return true;
}

template <class Unsigned>
[[gnu::noinline]] PyResult<Unsigned> convert_unsigned_general(Borrowed object) {
    PyResult<std::int64_t> value = as_int64(object);
    if (!value) [[unlikely]] {
        return forward_error(value);
    }
    // Taken as unsigned, every negative value is out of range too.
    if (static_cast<std::uint64_t>(*value) > std::numeric_limits<Unsigned>::max()) [[unlikely]] {
        return fail(out_of_range());
    }
    return static_cast<Unsigned>(*value);
}

PyResult<std::uint64_t> convert_u64_general(Borrowed object);
} // namespace detail

// Reads `object` into `out` when it is a compact int in Unsigned's range, the one case that
// needs neither the interpreter's conversion nor an error; false (and `out` untouched) for
// everything else. The builders also use it on their own, to answer the common call before
// any result object exists (see src/boundary/compact_arguments.hpp).
template <class Unsigned>
    requires(std::numeric_limits<Unsigned>::is_integer && !std::numeric_limits<Unsigned>::is_signed)
[[gnu::always_inline]] inline bool read_compact_unsigned(PyObject* object, Unsigned& out) noexcept {
    Py_ssize_t value;
    if (!detail::read_compact_int(object, value)) {
        return false;
    }
    // For the narrower types the two tests fold into one unsigned comparison.
    if (value < 0 || static_cast<std::size_t>(value) > std::numeric_limits<Unsigned>::max())
        [[unlikely]] {
        return false;
    }
    out = static_cast<Unsigned>(value);
    return true;
}

// A compact int in range is read directly; everything else (negatives and out-of-range values
// included, so that their errors come from one place) takes the general path.
template <class Unsigned>
    requires(std::numeric_limits<Unsigned>::is_integer &&
             !std::numeric_limits<Unsigned>::is_signed && sizeof(Unsigned) < sizeof(std::uint64_t))
[[gnu::always_inline]] inline PyResult<Unsigned> convert_unsigned(Borrowed object) {
    Unsigned value;
    if (read_compact_unsigned(object.get(), value)) [[likely]] {
        return value;
    }
    return detail::convert_unsigned_general<Unsigned>(object);
}

[[gnu::always_inline]] inline PyResult<std::uint64_t> convert_u64(Borrowed object) {
    std::uint64_t value;
    if (read_compact_unsigned(object.get(), value)) [[likely]] {
        return value;
    }
    return detail::convert_u64_general(object);
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

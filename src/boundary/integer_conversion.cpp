#include "src/boundary/integer_conversion.hpp"

#include "src/boundary/fetch_error.hpp"

namespace corvane {

namespace detail {

// Fixed errors: they need no memory until they are raised, when the interpreter makes them.
constexpr FixedError kOutOfRange{&PyExc_OverflowError,
                                 "out of range integral type conversion attempted"};
constexpr FixedError kTooLarge{&PyExc_OverflowError, "Python int too large to convert to C long"};

PythonError out_of_range() {
    return PythonError::deferred(kOutOfRange);
}

PythonError conversion_failure() {
    return fetch_error();
}

// PyLong_AsLong would give the signed 64-bit conversion only where C long has 64 bits: with a
// 32-bit long it refuses every id from 2**31 up and lets negative ones through as if in range.
// long long is 64 bits on every platform corvane builds for; its overflow is reported with the
// text the interpreter gives for C long on 64-bit Linux, so callers meet one message everywhere.
static_assert(sizeof(long long) == sizeof(std::int64_t));

PyResult<std::int64_t> as_int64(Borrowed object) {
    int overflow = 0;
    long long value = PyLong_AsLongLongAndOverflow(object.get(), &overflow);
    if (overflow != 0) [[unlikely]] {
        return fail(PythonError::deferred(kTooLarge));
    }
    if (value == -1 && PyErr_Occurred()) [[unlikely]] {
        return fail(conversion_failure());
    }
    return static_cast<std::int64_t>(value);
}

PyResult<std::uint64_t> convert_u64_general(Borrowed object) {
    if (!PyLong_Check(object.get())) [[unlikely]] {
        return convert_u64_via_index(object);
    }
    unsigned long long value = PyLong_AsUnsignedLongLong(object.get());
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) [[unlikely]] {
        return fail(conversion_failure());
    }
    return static_cast<std::uint64_t>(value);
}

PyResult<std::uint64_t> convert_u64_via_index(Borrowed object) {
    Owned index = Owned::steal(PyNumber_Index(object.get()));
    if (!index) {
        return fetched_error();
    }
    return convert_u64_general(index.borrow());
}

} // namespace detail

} // namespace corvane

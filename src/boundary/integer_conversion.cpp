#include "src/boundary/integer_conversion.hpp"

#include "src/boundary/fetch_error.hpp"

namespace corvane {

namespace detail {

PythonError out_of_range() {
    return PythonError::deferred(PyExc_OverflowError,
                                 "out of range integral type conversion attempted");
}

PythonError conversion_failure() {
    return fetch_error();
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

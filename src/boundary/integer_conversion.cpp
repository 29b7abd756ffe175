#include "src/boundary/integer_conversion.hpp"

#include "src/boundary/fetch_error.hpp"

namespace corvane {

namespace detail {

PythonError out_of_range() {
    return PythonError::deferred(PyExc_OverflowError,
                                 "out of range integral type conversion attempted");
}

PythonError conversion_failure() { return fetch_error(); }

} // namespace detail

namespace {

PyResult<std::uint64_t> unsigned_value_of_int(Borrowed integer) {
    unsigned long long value = PyLong_AsUnsignedLongLong(integer.get());
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) [[unlikely]] {
        return fetched_error();
    }
    return static_cast<std::uint64_t>(value);
}

} // namespace

PyResult<std::uint64_t> convert_u64(Borrowed object) {
    if (PyLong_Check(object.get())) [[likely]] {
        return unsigned_value_of_int(object);
    }
    Owned index = Owned::steal(PyNumber_Index(object.get()));
    if (!index) {
        return fetched_error();
    }
    return unsigned_value_of_int(index.borrow());
}

} // namespace corvane

// Creation of the plain objects corvane hands out or builds messages from. The interpreter
// refusing to create a str, bytes, int, tuple or list is not an error a caller can act on: its
// error is printed and the failure becomes an internal one ("Python API call failed").
#pragma once

#include "src/boundary/refs.hpp"

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace corvane {

// The message of every failure to create one of them.
inline constexpr char kApiCallFailed[] = "Python API call failed";

[[noreturn, gnu::cold]] void creation_failed();

// Returns `created` as an owned reference, or prints the pending error and fails internally.
inline Owned checked_creation(PyObject* created) {
    if (created == nullptr) [[unlikely]] {
        creation_failed();
    }
    return Owned::steal(created);
}

inline Owned new_str(std::string_view text) {
    return checked_creation(
        PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}
inline Owned new_bytes(const unsigned char* data, std::size_t size) {
    return checked_creation(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data),
                                                      static_cast<Py_ssize_t>(size)));
}
// Every int corvane makes is a field, a command code or the base id: 32 bits hold them all, and C
// long has at least that many everywhere.
inline Owned new_int(std::int32_t value) {
    return checked_creation(PyLong_FromLong(value));
}
inline Owned new_tuple(Py_ssize_t size) {
    return checked_creation(PyTuple_New(size));
}
inline Owned new_list(Py_ssize_t size) {
    return checked_creation(PyList_New(size));
}

} // namespace corvane

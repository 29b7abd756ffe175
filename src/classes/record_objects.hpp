// Record objects as the union classes use them: a record's value copied out of a record
// object, and a new record object made from a value.
#pragma once

#include "src/boundary/python_error.hpp"
#include "src/boundary/thread_safety.hpp"
#include "src/classes/class_registry.hpp"
#include "src/classes/value_object.hpp"

namespace corvane::classes {

// A copy of the record held by `object`, which must be an instance of the record's class;
// anything else is the TypeError "'{qualname}' object cannot be converted to '{class}'". The
// record is read whole: another thread may be assigning its field.
template <class Record> PyResult<Record> extract_record(Borrowed object) {
    LazyClass& lazy = record_class<Record>();
    PyTypeObject* type = Py_TYPE(object.get());
    if (!PyType_IsSubtype(type, required_class_object(lazy).get())) [[unlikely]] {
        return fail(PythonError::type_mismatch(type, lazy.name()));
    }
    return load_shared(value_of<Record>(object.get()));
}

// A new record object holding a copy of `record`.
template <class Record> PyResult<Owned> new_record_object(const Record& record) {
    return new_value_object(required_class_object(record_class<Record>()).get(), record);
}

} // namespace corvane::classes

#include "src/classes/value_object.hpp"

#include "src/boundary/call_guard.hpp"

namespace corvane::classes {

void dealloc_value_object(PyObject* self) noexcept {
    dealloc_guard([self] {
        PyTypeObject* type = Py_TYPE(self);
        type->tp_free(self);
        Py_DECREF(type);
    });
}

} // namespace corvane::classes

#include "src/boundary/object_creation.hpp"

#include "src/boundary/internal_failure.hpp"

namespace corvane {

Owned checked_creation(PyObject* created) {
    if (created == nullptr) [[unlikely]] {
        PyErr_Print();
        fail_internally("Python API call failed");
    }
    return Owned::steal(created);
}

} // namespace corvane

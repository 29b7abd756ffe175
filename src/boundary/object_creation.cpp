#include "src/boundary/object_creation.hpp"

#include "src/boundary/internal_failure.hpp"

namespace corvane {

void creation_failed() {
    PyErr_Print();
    fail_internally(kApiCallFailed);
}

} // namespace corvane

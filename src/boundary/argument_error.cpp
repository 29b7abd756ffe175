#include "src/boundary/argument_error.hpp"

#include "src/boundary/render_object.hpp"

#include <string>

namespace corvane {

[[gnu::cold]] PythonError wrap_argument_error(std::string_view name, PythonError error) {
    Borrowed original = error.exception();
    if (!Py_IS_TYPE(original.get(), reinterpret_cast<PyTypeObject*>(PyExc_TypeError))) {
        return error;
    }
    auto rendered = render_object(original, Rendering::handled_error);
    if (!rendered) {
        return std::move(rendered.error());
    }
    PythonError wrapped = PythonError::deferred(PyExc_TypeError, "argument '" + std::string(name) +
                                                                     "': " + *rendered);
    // Setting the cause (even to None) also suppresses the context, so the traceback shows
    // the named error alone rather than "during handling of ..." the original. Realising the
    // new error can fail internally, so it comes first: the new reference that
    // PyException_GetCause returns must not be taken while that can still throw.
    Borrowed realised = wrapped.exception();
    PyException_SetCause(realised.get(), PyException_GetCause(original.get()));
    return wrapped;
}

} // namespace corvane

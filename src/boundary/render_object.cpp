#include "src/boundary/render_object.hpp"

#include "src/boundary/fetch_error.hpp"
#include "src/boundary/object_creation.hpp"

namespace corvane {

namespace {

// The str with every lone surrogate replaced by U+FFFD. Null, with the interpreter's error
// pending, when it fails.
Owned with_replacement(Borrowed str) {
    Owned passed = Owned::steal(PyUnicode_AsEncodedString(str.get(), "utf-8", "surrogatepass"));
    if (!passed) {
        return {};
    }
    return Owned::steal(PyUnicode_DecodeUTF8(PyBytes_AS_STRING(passed.get()),
                                             PyBytes_GET_SIZE(passed.get()), "replace"));
}

// Leaves the interpreter's error pending when it fails.
std::optional<std::string> utf8_with_replacement(Borrowed str) {
    Owned replaced = with_replacement(str);
    Py_ssize_t size = 0;
    const char* text = replaced ? PyUnicode_AsUTF8AndSize(replaced.get(), &size) : nullptr;
    if (text == nullptr) {
        return std::nullopt;
    }
    return std::string(text, static_cast<size_t>(size));
}

// The text of a str that str() has just returned, for a message. Only a lone surrogate keeps
// UTF-8 from holding a str, and that has its replacement; any other failure is the interpreter
// out of memory, and the object is not unprintable for that: it is an object-creation failure.
std::string text_for_message(Borrowed str) {
    Py_ssize_t size = 0;
    if (const char* text = PyUnicode_AsUTF8AndSize(str.get(), &size)) {
        return std::string(text, static_cast<size_t>(size));
    }
    if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) {
        creation_failed();
    }
    PyErr_Clear();
    std::optional<std::string> text = utf8_with_replacement(str);
    if (!text) {
        creation_failed();
    }
    return std::move(*text);
}

std::string unprintable_text(Borrowed object) {
    if (std::optional<std::string> name = utf8_of_name(PyType_GetName(Py_TYPE(object.get())))) {
        return "<unprintable " + *name + " object>";
    }
    return "<unprintable object>";
}

} // namespace

std::optional<std::string> utf8_of_name(PyObject* created_name) {
    Owned name = Owned::steal(created_name);
    Py_ssize_t size = 0;
    const char* text = name ? PyUnicode_AsUTF8AndSize(name.get(), &size) : nullptr;
    if (text == nullptr) {
        PyErr_Clear();
        return std::nullopt;
    }
    return std::string(text, static_cast<size_t>(size));
}

std::optional<FailureText> failure_text_of_str(Borrowed str) {
    // A str of the exact type: the panic made with it must not run a subclass's __str__.
    Owned held = Owned::steal(PyUnicode_Substring(str.get(), 0, PyUnicode_GET_LENGTH(str.get())));
    if (!held) {
        PyErr_Clear();
        return std::nullopt;
    }
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(held.get(), &size);
    if (text == nullptr) {
        PyErr_Clear();
        held = with_replacement(held.borrow());
        text = held ? PyUnicode_AsUTF8AndSize(held.get(), &size) : nullptr;
    }
    if (text == nullptr) {
        PyErr_Clear();
        return std::nullopt;
    }
    return FailureText(std::move(held), std::string_view(text, static_cast<size_t>(size)));
}

PyStatus run_due_signal_handlers(Borrowed handled) {
    if (PyErr_CheckSignals() == 0) [[likely]] {
        return {};
    }
    PythonError raised = fetch_error();
    if (handled) {
        chain_context(raised.exception(), handled);
    }
    return fail(std::move(raised));
}

PyResult<std::string> render_object(Borrowed given, Rendering rendering) {
    // str() and the unraisable hook run Python code that may drop the caller's last reference
    // to the object (a key of a dict it is clearing, say); the object is needed until the end.
    Owned object = Owned::new_ref(given);
    Borrowed handled = rendering == Rendering::handled_error ? object.borrow() : Borrowed{};
    if (PyStatus due = run_due_signal_handlers(handled); !due) {
        return fail(std::move(due.error()));
    }
    Owned str = Owned::steal(PyObject_Str(object.get()));
    if (str) {
        return text_for_message(str.borrow());
    }
    // A PanicException resumes inside fetch_error. A stop request (a Ctrl-C whose handler ran
    // inside that str(), say) is the caller's to see, in place of the message it interrupted.
    PythonError error = fetch_error();
    if (is_stop_request(error.exception())) {
        return fail(std::move(error));
    }
    std::move(error).raise();
    PyErr_WriteUnraisable(object.get());
    return unprintable_text(object.borrow());
}

} // namespace corvane

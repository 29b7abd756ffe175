#include "src/boundary/argument_binding.hpp"

#include "src/boundary/render_object.hpp"

#include <optional>
#include <string>

namespace corvane {
namespace detail {

namespace {

// The messages match CPython's own for functions defined in Python, so that a wrong call
// reads the same whether the callee is corvane or a script.

std::string full_name(const SpecView& spec) {
    std::string name;
    if (!spec.class_name.empty()) {
        name.append(spec.class_name).append(".");
    }
    return name.append(spec.function_name).append("()");
}

PythonError surplus_positional(const SpecView& spec, Py_ssize_t given) {
    return PythonError::deferred(
        PyExc_TypeError, full_name(spec) + " takes " + std::to_string(spec.parameter_names.size()) +
                             " positional arguments but " + std::to_string(given) +
                             (given == 1 ? " was" : " were") + " given");
}

PythonError multiple_values(const SpecView& spec, std::string_view name) {
    return PythonError::deferred(PyExc_TypeError, full_name(spec) +
                                                      " got multiple values for argument '" +
                                                      std::string(name) + "'");
}

PythonError unexpected_keyword(const SpecView& spec, Borrowed key) {
    auto text = render_object(key);
    if (!text) {
        return std::move(text.error());
    }
    return PythonError::deferred(
        PyExc_TypeError, full_name(spec) + " got an unexpected keyword argument '" + *text + "'");
}

PythonError missing_required(const SpecView& spec, std::span<const Borrowed> slots) {
    std::string list;
    std::size_t missing = 0;
    std::size_t total = 0;
    for (const Borrowed& slot : slots) {
        total += slot ? 0 : 1;
    }
    for (std::size_t i = 0; i < slots.size(); ++i) {
        if (slots[i]) {
            continue;
        }
        if (missing > 0) {
            list += total == 2 ? " and " : (missing + 1 == total ? ", and " : ", ");
        }
        list.append("'").append(spec.parameter_names[i]).append("'");
        ++missing;
    }
    return PythonError::deferred(PyExc_TypeError,
                                 full_name(spec) + " missing " + std::to_string(missing) +
                                     " required positional " +
                                     (missing == 1 ? "argument" : "arguments") + ": " + list);
}

// Index of the parameter a keyword names, compared byte for byte with no normalisation.
// A keyword with no UTF-8 form names no parameter.
std::optional<std::size_t> parameter_index(const SpecView& spec, Borrowed key) {
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(key.get(), &size);
    if (text == nullptr) {
        PyErr_Clear();
        return std::nullopt;
    }
    std::string_view name(text, static_cast<std::size_t>(size));
    for (std::size_t i = 0; i < spec.parameter_names.size(); ++i) {
        if (spec.parameter_names[i] == name) {
            return i;
        }
    }
    return std::nullopt;
}

PyStatus bind_positional(const SpecView& spec, std::span<Borrowed> slots, PyObject* const* args,
                         Py_ssize_t nargs) {
    std::size_t count = std::min(static_cast<std::size_t>(nargs), slots.size());
    for (std::size_t i = 0; i < count; ++i) {
        slots[i] = args[i];
    }
    if (static_cast<std::size_t>(nargs) > slots.size()) {
        return fail(surplus_positional(spec, nargs));
    }
    return {};
}

PyStatus bind_keyword(const SpecView& spec, std::span<Borrowed> slots, Borrowed key,
                      Borrowed value) {
    std::optional<std::size_t> index = parameter_index(spec, key);
    if (!index) {
        return fail(unexpected_keyword(spec, key));
    }
    if (slots[*index]) {
        return fail(multiple_values(spec, spec.parameter_names[*index]));
    }
    slots[*index] = value;
    return {};
}

// Every parameter is required, so any empty slot is a missing argument.
PyStatus check_required(const SpecView& spec, std::span<const Borrowed> slots) {
    for (const Borrowed& slot : slots) {
        if (!slot) {
            return fail(missing_required(spec, slots));
        }
    }
    return {};
}

} // namespace

PyStatus bind_vector(const SpecView& spec, std::span<Borrowed> slots, PyObject* const* args,
                     Py_ssize_t nargs, PyObject* kwnames) {
    if (PyStatus positional = bind_positional(spec, slots, args, nargs); !positional) {
        return positional;
    }
    Py_ssize_t keywords = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t i = 0; i < keywords; ++i) {
        PyStatus bound = bind_keyword(spec, slots, PyTuple_GET_ITEM(kwnames, i), args[nargs + i]);
        if (!bound) {
            return bound;
        }
    }
    return check_required(spec, slots);
}

PyStatus bind_tuple(const SpecView& spec, std::span<Borrowed> slots, PyObject* args,
                    PyObject* kwargs) {
    PyStatus positional = bind_positional(
        spec, slots, reinterpret_cast<PyTupleObject*>(args)->ob_item, PyTuple_GET_SIZE(args));
    if (!positional) {
        return positional;
    }
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (kwargs != nullptr && PyDict_Next(kwargs, &position, &key, &value)) {
        // The dict may be the caller's own. Only the str() of an unexpected key runs Python
        // code here, and render_object holds the key across it; binding stops at that error,
        // so the walk never goes on over a dict that has changed. The values bound are held
        // by bind_tuple_arguments before any Python code can run.
        if (PyStatus bound = bind_keyword(spec, slots, key, value); !bound) {
            return bound;
        }
    }
    return check_required(spec, slots);
}

} // namespace detail
} // namespace corvane

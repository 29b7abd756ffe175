#include "src/boundary/argument_binding.hpp"

#include "src/boundary/render_object.hpp"
#include "src/boundary/thread_safety.hpp"

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

// The first keyword of a dict that binding refuses: one that names no parameter (held, as its
// text is yet to be rendered), or one for a parameter already bound.
struct KeywordMismatch {
    Owned unexpected_key;
    std::optional<std::size_t> repeated;
};

// Binds the entries of a keyword dict, in its iteration order, up to the first that binding
// refuses. The dict may be the caller's own, which other threads can change meanwhile: the walk
// is made inside the interpreter's critical section on it, and every key and value is held as
// soon as it is read, since the section lapses should this thread block (in the look-up of a
// key's text, say) and the dict may change then. No Python code runs here: a refused key is
// rendered only once the walk is over.
KeywordMismatch bind_dict_keywords(const SpecView& spec, std::span<Borrowed> slots,
                                   std::span<Owned> held, PyObject* kwargs) {
    ObjectCriticalSection walking(kwargs);
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &position, &key, &value)) {
        Owned held_key = Owned::new_ref(key);
        Owned held_value = Owned::new_ref(value);
        std::optional<std::size_t> index = parameter_index(spec, held_key.borrow());
        if (!index) {
            return {std::move(held_key), std::nullopt};
        }
        if (slots[*index]) {
            return {Owned{}, index};
        }
        slots[*index] = held_value.borrow();
        held[*index] = std::move(held_value);
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

PyStatus bind_tuple(const SpecView& spec, std::span<Borrowed> slots, std::span<Owned> held,
                    PyObject* args, PyObject* kwargs) {
    PyStatus positional = bind_positional(
        spec, slots, reinterpret_cast<PyTupleObject*>(args)->ob_item, PyTuple_GET_SIZE(args));
    if (!positional) {
        return positional;
    }
    if (kwargs == nullptr) {
        return check_required(spec, slots);
    }
    KeywordMismatch mismatch = bind_dict_keywords(spec, slots, held, kwargs);
    if (mismatch.unexpected_key) {
        return fail(unexpected_keyword(spec, mismatch.unexpected_key.borrow()));
    }
    if (mismatch.repeated) {
        return fail(multiple_values(spec, spec.parameter_names[*mismatch.repeated]));
    }
    return check_required(spec, slots);
}

} // namespace detail
} // namespace corvane

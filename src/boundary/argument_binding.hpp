// Binding of positional and keyword arguments to an entry point's parameters.
//
// Every parameter of every entry point may be given by position or by keyword, none has a
// default, and none collects surplus arguments. Binding only places borrowed references in
// slots (a fixed-size array in the caller's frame); it never looks at or converts values,
// and allocates nothing unless it fails.
#pragma once

#include "src/boundary/python_error.hpp"

#include <algorithm>
#include <array>
#include <cstddef>
#include <span>
#include <string_view>

namespace corvane {

// The parameter list of one entry point: fixed data for the life of the process.
template <std::size_t N> struct ArgumentSpec {
    std::string_view class_name; // empty for module functions
    std::string_view function_name;
    std::array<std::string_view, N> parameter_names;
};

template <std::size_t N> using ArgumentSlots = std::array<Borrowed, N>;

// The arguments of a tp_new call. The keyword dict may be the caller's own (the interpreter
// hands `_thread.start_new_thread(cls, (), kw)` or a C caller's `PyObject_Call(cls, (), kw)`
// its `kw` as it is), so Python code that runs later in the call, an `__index__` say, or
// another thread can empty it: values taken from it are held here, from the moment they are
// read, for the whole call. Values from the positional tuple need no hold, as tuples cannot
// change.
template <std::size_t N> struct TupleArguments {
    ArgumentSlots<N> slots{};
    std::array<Owned, N> held{};

    const Borrowed& operator[](std::size_t index) const noexcept { return slots[index]; }
};

namespace detail {
// The size-independent view of an ArgumentSpec that the binding routines work on.
struct SpecView {
    std::string_view class_name;
    std::string_view function_name;
    std::span<const std::string_view> parameter_names;
};

[[gnu::cold]] PyStatus bind_vector(const SpecView& spec, std::span<Borrowed> slots,
                                   PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
[[gnu::cold]] PyStatus bind_tuple(const SpecView& spec, std::span<Borrowed> slots,
                                  std::span<Owned> held, PyObject* args, PyObject* kwargs);
} // namespace detail

// Binds a vector call (METH_FASTCALL | METH_KEYWORDS): `args` holds the `nargs` positional
// arguments followed by one value per name in `kwnames` (null when there are none).
template <std::size_t N>
[[gnu::always_inline]] inline PyResult<ArgumentSlots<N>>
bind_vector_arguments(const ArgumentSpec<N>& spec, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) {
    ArgumentSlots<N> slots{};
    // The common call, every argument by position, needs no more than copying them.
    if (kwnames == nullptr && nargs == static_cast<Py_ssize_t>(N)) [[likely]] {
        std::copy_n(args, N, slots.begin());
        return slots;
    }
    PyStatus bound = detail::bind_vector(
        {spec.class_name, spec.function_name, spec.parameter_names}, slots, args, nargs, kwnames);
    if (!bound) {
        return forward_error(bound);
    }
    return slots;
}

namespace detail {
// Every tp_new call but the common one, out of line so that the common one stays as lean as it
// was before keyword values were held from the moment they are read.
template <std::size_t N>
[[gnu::noinline, gnu::cold]] PyResult<TupleArguments<N>>
bind_tuple_in_general(const ArgumentSpec<N>& spec, PyObject* args, PyObject* kwargs) {
    TupleArguments<N> bound{};
    PyStatus status = bind_tuple({spec.class_name, spec.function_name, spec.parameter_names},
                                 bound.slots, bound.held, args, kwargs);
    if (!status) {
        return forward_error(status);
    }
    return bound;
}
} // namespace detail

// Binds a tp_new call: a tuple of positional arguments and a keyword dict (or null).
template <std::size_t N>
[[gnu::always_inline]] inline PyResult<TupleArguments<N>>
bind_tuple_arguments(const ArgumentSpec<N>& spec, PyObject* args, PyObject* kwargs) {
    if (kwargs == nullptr && PyTuple_GET_SIZE(args) == static_cast<Py_ssize_t>(N)) [[likely]] {
        TupleArguments<N> bound{};
        std::copy_n(reinterpret_cast<PyTupleObject*>(args)->ob_item, N, bound.slots.begin());
        return bound;
    }
    return detail::bind_tuple_in_general(spec, args, kwargs);
}

} // namespace corvane

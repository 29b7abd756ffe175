// The instance layout shared by every class of corvane: the object header, one plain value
// stored inline and whether a constructor stored it. No dict, no weakref list, no references
// to other objects, so the objects are neither tracked by the garbage collector nor in need of
// anything on release.
#pragma once

#include "src/boundary/fetch_error.hpp"
#include "src/boundary/python_error.hpp"

#include <new>

namespace corvane::classes {

template <class Value> struct ValueObject {
    PyObject_HEAD Value value;
    // Set by new_value_object. The interpreter zero-fills what tp_alloc returns, so an object
    // made past the constructor (object.__new__ once a class's __new__ has been replaced)
    // reads false here and holds no value.
    bool constructed;
};

template <class Value> Value& value_of(PyObject* object) noexcept {
    return reinterpret_cast<ValueObject<Value>*>(object)->value;
}

template <class Value> bool is_constructed(PyObject* object) noexcept {
    return reinterpret_cast<ValueObject<Value>*>(object)->constructed;
}

// A new instance of `type` holding a copy of `value`.
template <class Value> PyResult<Owned> new_value_object(PyTypeObject* type, const Value& value) {
    Owned object = Owned::steal(type->tp_alloc(type, 0));
    if (!object) [[unlikely]] {
        return fetched_error();
    }
    new (&value_of<Value>(object.get())) Value(value);
    reinterpret_cast<ValueObject<Value>*>(object.get())->constructed = true;
    return object;
}

// tp_dealloc of every class: the memory goes back through tp_free, then the instance's
// reference to its (heap) type is released, as the interpreter requires of heap types.
void dealloc_value_object(PyObject* self) noexcept;

} // namespace corvane::classes

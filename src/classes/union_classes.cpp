// Request and Response, and their variant classes Request_GetDouts, Request_SetDouts,
// Response_GetDouts and Response_SetDouts.
//
// A union object is always an instance of exactly one variant class and holds its own copy
// of the carried record; it never changes after construction. The record comes back out as
// a new record object on every read (`_0`, `v[0]`, iteration, a class pattern in `match`).
//
// Python code can try to break the tie between an object's class and its tag in two ways, and
// both are closed here. `__class__` assignment: a union and its variants share one instance
// layout, which the interpreter would accept, but it also demands the same tp_free, so every
// class here frees through a function of its own. And object.__new__ once `__new__` has been
// replaced: such an object never went through a constructor, holds no value, and every read
// of it is a TypeError.
#include "src/boundary/argument_binding.hpp"
#include "src/boundary/argument_error.hpp"
#include "src/boundary/call_guard.hpp"
#include "src/boundary/integer_conversion.hpp"
#include "src/boundary/object_creation.hpp"
#include "src/boundary/render_object.hpp"
#include "src/classes/class_registry.hpp"
#include "src/classes/record_objects.hpp"
#include "src/classes/value_object.hpp"

#include <array>

namespace corvane::classes {

namespace {

using namespace do_mod;

template <class Union> LazyClass& union_class();
template <class Union, class Record> LazyClass& variant_class();

// One tp_free per class (Class is the union itself, or the record of one of its variants): the
// interpreter refuses `__class__` assignment between classes whose tp_free differ. Distinct
// functions have distinct addresses, however alike their code.
template <class Union, class Class> void free_object(void* object) noexcept {
    PyObject_Free(object);
}

PythonError not_constructed(PyObject* self) {
    std::string name = utf8_of_name(PyType_GetName(Py_TYPE(self))).value_or("<unknown>");
    return PythonError::deferred(PyExc_TypeError,
                                 "'" + name + "' object was not initialized by its constructor");
}

// The union value of `self`, which is only there if a variant's constructor put it there.
template <class Union> PyResult<const Union*> constructed_value(PyObject* self) {
    if (!is_constructed<Union>(self)) [[unlikely]] {
        return fail(not_constructed(self));
    }
    return &value_of<Union>(self);
}

// Methods of the union classes, inherited by the variants.

PyObject* base_id_entry(PyObject*, PyObject*) {
    return call_guard([]() -> PyResult<Owned> { return new_int(kBaseId); });
}

template <class Union> PyObject* cmd_entry(PyObject* self, PyObject*) {
    return call_guard([self]() -> PyResult<Owned> {
        auto value = constructed_value<Union>(self);
        if (!value) {
            return forward_error(value);
        }
        return new_int((*value)->cmd());
    });
}

template <class Union> struct UnionClassDefinition {
    static inline PyMethodDef methods[] = {
        {"base_id", &base_id_entry, METH_NOARGS | METH_STATIC, "base_id()\n--\n\n"},
        {"cmd", &cmd_entry<Union>, METH_NOARGS, "cmd($self)\n--\n\n"},
        {nullptr, nullptr, 0, nullptr},
    };

    template <class Record> static PyResult<Owned> variant_attribute() {
        return Owned::new_ref(reinterpret_cast<PyObject*>(
            required_class_object(variant_class<Union, Record>()).get()));
    }

    using GetRecord = std::variant_alternative_t<kGetDoutsCmd, decltype(Union::value)>;
    using SetRecord = std::variant_alternative_t<kSetDoutsCmd, decltype(Union::value)>;
    static constexpr std::array<ClassAttribute, 2> class_attributes{{
        {"GetDouts", &variant_attribute<GetRecord>},
        {"SetDouts", &variant_attribute<SetRecord>},
    }};

    static inline std::array<PyType_Slot, 1> slots{{
        {Py_tp_free, reinterpret_cast<void*>(&free_object<Union, Union>)},
    }};

    static ClassParams params(const char* name) {
        ClassParams params{.name = name};
        params.subclassable = true; // so that the variant classes can derive from it
        params.basic_size = sizeof(ValueObject<Union>);
        params.dealloc = &dealloc_value_object;
        params.own_slots = slots;
        params.methods = methods;
        params.class_attributes = class_attributes;
        return params;
    }
};

// The variant classes.

template <class Union, class Record> struct VariantClass;
template <> struct VariantClass<Request, GetDoutsRequest> {
    static constexpr ArgumentSpec<1> arguments{"Request_GetDouts", "__new__", {"_0"}};
};
template <> struct VariantClass<Request, SetDoutsRequest> {
    static constexpr ArgumentSpec<1> arguments{"Request_SetDouts", "__new__", {"_0"}};
};
template <> struct VariantClass<Response, GetDoutsResponse> {
    static constexpr ArgumentSpec<1> arguments{"Response_GetDouts", "__new__", {"_0"}};
};
template <> struct VariantClass<Response, SetDoutsResponse> {
    static constexpr ArgumentSpec<1> arguments{"Response_SetDouts", "__new__", {"_0"}};
};

template <class Union, class Record>
PyResult<Owned> construct_variant(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    auto bound = bind_tuple_arguments(VariantClass<Union, Record>::arguments, args, kwargs);
    if (!bound) {
        return forward_error(bound);
    }
    auto record = convert_argument("_0", (*bound)[0], &extract_record<Record>);
    if (!record) {
        return forward_error(record);
    }
    return new_value_object(type, Union{*record});
}

// The tag cannot disagree with the class (see the top of this file), so std::get cannot fail
// on a constructed object.
template <class Union, class Record> PyResult<Owned> carried_record(PyObject* self) {
    auto value = constructed_value<Union>(self);
    if (!value) {
        return forward_error(value);
    }
    return new_record_object(std::get<Record>((*value)->value));
}

template <class Union, class Record>
PyObject* variant_new_entry(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return call_guard([&] { return construct_variant<Union, Record>(type, args, kwargs); });
}

template <class Union, class Record> PyObject* get_record_entry(PyObject* self, void*) {
    return call_guard([self] { return carried_record<Union, Record>(self); });
}

Py_ssize_t length_entry(PyObject*) {
    return call_guard([]() -> PyResult<Py_ssize_t> { return 1; });
}

// A variant reads as a one-element tuple of its record. Keys are never counted from the end:
// a negative key is an OverflowError, not the last element.
template <class Union, class Record> PyResult<Owned> subscript(PyObject* self, PyObject* key) {
    auto index = convert_argument("idx", key, convert_u64);
    if (!index) {
        return forward_error(index);
    }
    if (*index != 0) {
        return fail(PythonError::deferred(PyExc_IndexError, "tuple index out of range"));
    }
    return carried_record<Union, Record>(self);
}

template <class Union, class Record> PyObject* subscript_entry(PyObject* self, PyObject* key) {
    return call_guard([&] { return subscript<Union, Record>(self, key); });
}

PyResult<Owned> match_args() {
    Owned names = new_tuple(1);
    PyTuple_SET_ITEM(names.get(), 0, new_str("_0").release());
    return names;
}

template <class Union, class Record> struct VariantClassDefinition {
    static inline std::array<PyType_Slot, 4> slots{{
        {Py_tp_new, reinterpret_cast<void*>(&variant_new_entry<Union, Record>)},
        {Py_mp_length, reinterpret_cast<void*>(&length_entry)},
        {Py_mp_subscript, reinterpret_cast<void*>(&subscript_entry<Union, Record>)},
        {Py_tp_free, reinterpret_cast<void*>(&free_object<Union, Record>)},
    }};
    static inline PyGetSetDef getset[] = {
        {"_0", &get_record_entry<Union, Record>, nullptr, nullptr, nullptr},
        {nullptr, nullptr, nullptr, nullptr, nullptr},
    };
    static constexpr std::array<ClassAttribute, 1> class_attributes{{
        {"__match_args__", &match_args},
    }};

    static ClassParams params() {
        ClassParams params{.name = VariantClass<Union, Record>::arguments.class_name.data()};
        params.base = &union_class<Union>();
        params.text_signature = "(_0)";
        params.basic_size = sizeof(ValueObject<Union>);
        params.dealloc = &dealloc_value_object;
        params.own_slots = slots;
        params.getset = getset;
        params.class_attributes = class_attributes;
        return params;
    }
};

template <> LazyClass& union_class<Request>() {
    static LazyClass lazy(UnionClassDefinition<Request>::params("Request"));
    return lazy;
}
template <> LazyClass& union_class<Response>() {
    static LazyClass lazy(UnionClassDefinition<Response>::params("Response"));
    return lazy;
}

template <class Union, class Record> LazyClass& variant_class() {
    static LazyClass lazy(VariantClassDefinition<Union, Record>::params());
    return lazy;
}

} // namespace

LazyClass& request_class() {
    return union_class<Request>();
}
LazyClass& response_class() {
    return union_class<Response>();
}

} // namespace corvane::classes

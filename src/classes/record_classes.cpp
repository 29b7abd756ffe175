// GetDoutsRequest, SetDoutsRequest, GetDoutsResponse and SetDoutsResponse as Python classes.
//
// Each object holds one record inline. Fields read as plain ints and are assigned through
// the same range-checked conversions as the constructor arguments; a value is converted
// before the object is touched, so a failed assignment leaves the record as it was. A record
// object can be shared by threads: its field is read and written whole (load_shared,
// store_shared), so a read beside a write gives the old value or the new one.
#include "src/boundary/argument_binding.hpp"
#include "src/boundary/argument_error.hpp"
#include "src/boundary/call_guard.hpp"
#include "src/boundary/integer_conversion.hpp"
#include "src/boundary/object_creation.hpp"
#include "src/boundary/thread_safety.hpp"
#include "src/classes/class_registry.hpp"
#include "src/classes/value_object.hpp"

#include <array>

namespace corvane::classes {

namespace {

using namespace do_mod;

// What distinguishes one record class from another: its name and, for records with a
// field, the field's name, place and conversion.
struct GetDoutsRequestClass {
    using Record = GetDoutsRequest;
    static constexpr const char* name = "GetDoutsRequest";
    static constexpr const char* signature = "()";
    static constexpr ArgumentSpec<0> arguments{name, "__new__", {}};
};

template <class RecordType, auto Field, auto Convert> struct FieldRecordClass {
    using Record = RecordType;
    static constexpr auto field = Field;
    static constexpr auto convert = Convert;
};

struct SetDoutsRequestClass
    : FieldRecordClass<SetDoutsRequest, &SetDoutsRequest::bin_layout, &convert_u16> {
    static constexpr const char* name = "SetDoutsRequest";
    static constexpr const char* signature = "(bin_layout)";
    static constexpr ArgumentSpec<1> arguments{name, "__new__", {"bin_layout"}};
};

struct GetDoutsResponseClass
    : FieldRecordClass<GetDoutsResponse, &GetDoutsResponse::bin_layout, &convert_u16> {
    static constexpr const char* name = "GetDoutsResponse";
    static constexpr const char* signature = "(bin_layout)";
    static constexpr ArgumentSpec<1> arguments{name, "__new__", {"bin_layout"}};
};

struct SetDoutsResponseClass
    : FieldRecordClass<SetDoutsResponse, &SetDoutsResponse::success, &convert_u8> {
    static constexpr const char* name = "SetDoutsResponse";
    static constexpr const char* signature = "(success)";
    static constexpr ArgumentSpec<1> arguments{name, "__new__", {"success"}};
};

template <class Class> constexpr const char* field_name() {
    return Class::arguments.parameter_names[0].data();
}

template <class Class>
PyResult<Owned> construct(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    constexpr std::size_t parameters = Class::arguments.parameter_names.size();
    auto bound = bind_tuple_arguments(Class::arguments, args, kwargs);
    if (!bound) {
        return forward_error(bound);
    }
    typename Class::Record record{};
    if constexpr (parameters == 1) {
        auto value = convert_argument(field_name<Class>(), (*bound)[0], Class::convert);
        if (!value) {
            return forward_error(value);
        }
        record.*Class::field = *value;
    }
    return new_value_object(type, record);
}

template <class Class> PyObject* new_entry(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return call_guard([&] { return construct<Class>(type, args, kwargs); });
}

template <class Class> PyObject* get_field_entry(PyObject* self, void*) {
    return call_guard([self]() -> PyResult<Owned> {
        return new_int(load_shared(value_of<typename Class::Record>(self).*Class::field));
    });
}

template <class Class> PyStatus assign_field(PyObject* self, PyObject* value) {
    if (value == nullptr) {
        return fail(PythonError::deferred(PyExc_AttributeError, "can't delete attribute"));
    }
    auto converted = convert_argument(field_name<Class>(), value, Class::convert);
    if (!converted) {
        return forward_error(converted);
    }
    store_shared(value_of<typename Class::Record>(self).*Class::field, *converted);
    return {};
}

template <class Class> int set_field_entry(PyObject* self, PyObject* value, void*) {
    return call_guard([&] { return assign_field<Class>(self, value); });
}

template <class Class> struct RecordClassDefinition {
    static inline std::array<PyType_Slot, 1> slots{{
        {Py_tp_new, reinterpret_cast<void*>(&new_entry<Class>)},
    }};
    static inline PyGetSetDef getset[] = {
        {field_name<Class>(), &get_field_entry<Class>, &set_field_entry<Class>, nullptr, nullptr},
        {nullptr, nullptr, nullptr, nullptr, nullptr},
    };

    static ClassParams params() {
        ClassParams params{.name = Class::name};
        params.text_signature = Class::signature;
        params.basic_size = sizeof(ValueObject<typename Class::Record>);
        params.dealloc = &dealloc_value_object;
        params.own_slots = slots;
        // GetDoutsRequest has no field, and so no getset table is even instantiated for it.
        if constexpr (Class::arguments.parameter_names.size() == 1) {
            params.getset = getset;
        }
        return params;
    }
};

template <class Class> LazyClass& lazy_record_class() {
    static LazyClass lazy(RecordClassDefinition<Class>::params());
    return lazy;
}

} // namespace

template <> LazyClass& record_class<GetDoutsRequest>() {
    return lazy_record_class<GetDoutsRequestClass>();
}
template <> LazyClass& record_class<SetDoutsRequest>() {
    return lazy_record_class<SetDoutsRequestClass>();
}
template <> LazyClass& record_class<GetDoutsResponse>() {
    return lazy_record_class<GetDoutsResponseClass>();
}
template <> LazyClass& record_class<SetDoutsResponse>() {
    return lazy_record_class<SetDoutsResponseClass>();
}

} // namespace corvane::classes

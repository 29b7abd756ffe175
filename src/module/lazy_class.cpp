#include "src/module/lazy_class.hpp"

#include "src/boundary/call_guard.hpp"
#include "src/boundary/fetch_error.hpp"
#include "src/boundary/internal_failure.hpp"
#include "src/boundary/object_creation.hpp"
#include "src/boundary/render_object.hpp"

#include <algorithm>

namespace corvane {

namespace {

// A RuntimeError that explains `cause` (which becomes its __cause__).
PythonError runtime_error_caused_by(std::string message, PythonError cause) {
    PythonError error = PythonError::deferred(PyExc_RuntimeError, std::move(message));
    // Both realisations can fail internally; the cause is released to PyException_SetCause
    // only once neither can any more, so that it is never leaked on the way out.
    Borrowed realised = error.exception();
    Owned cause_exception = std::move(cause).take_exception();
    PyException_SetCause(realised.get(), cause_exception.release());
    return error;
}

bool has_slot(std::span<const PyType_Slot> slots, int id) {
    return std::ranges::any_of(slots, [id](const PyType_Slot& slot) { return slot.slot == id; });
}

bool has_entries(const PyMethodDef* table) {
    return table != nullptr && table->ml_name != nullptr;
}
bool has_entries(const PyGetSetDef* table) {
    return table != nullptr && table->name != nullptr;
}

void* as_slot(auto function) {
    return reinterpret_cast<void*>(function);
}

// Sequence access for classes that only define a mapping subscript, so that iteration and
// unpacking work: the interpreter asks for items 0, 1, ... until IndexError.
PyObject* item_via_subscript(PyObject* self, Py_ssize_t index) {
    Owned key = Owned::steal(PyLong_FromSsize_t(index));
    return key ? PyObject_GetItem(self, key.get()) : nullptr;
}

} // namespace

LazyClass::LazyClass(ClassParams params)
    : params_(params), full_name_(std::string("builtins.") + params.name) {
    if (params_.text_signature != nullptr) {
        doc_ = std::string(params_.name) + params_.text_signature + "\n--\n\n";
    }
}

PyResult<BorrowedRef<PyTypeObject>> LazyClass::class_object() {
    if (dict_filled_.load(std::memory_order_acquire)) [[likely]] {
        return class_object_.get();
    }
    auto type = created_class();
    if (type) {
        if (PyStatus filled = fill_class_attributes(*type); !filled) {
            type = forward_error(filled);
        }
    }
    if (!type) {
        return fail(runtime_error_caused_by(
            std::string("An error occurred while initializing class ") + params_.name,
            std::move(type.error())));
    }
    return type;
}

PyResult<BorrowedRef<PyTypeObject>> LazyClass::created_class() {
    if (BorrowedRef<PyTypeObject> stored = class_object_.get()) {
        return stored;
    }
    auto created = create_class();
    if (!created) {
        return forward_error(created);
    }
    return class_object_.set_or_keep(std::move(*created));
}

PyStatus LazyClass::fill_class_attributes(BorrowedRef<PyTypeObject> type) {
    if (dict_filled_.load(std::memory_order_acquire)) {
        return {};
    }
    // A variant class being created as a class attribute of its union asks for the union
    // as its base: it gets the class as it is, attributes not yet written.
    if (!begin_filling()) {
        return {};
    }
    auto values = compute_class_attributes();
    if (!values) {
        return forward_error(values);
    }
    return write_class_attributes(type, std::move(*values));
}

PyResult<std::vector<Owned>> LazyClass::compute_class_attributes() {
    struct StopFillingOnUnwind {
        LazyClass& lazy;
        bool done = false;
        ~StopFillingOnUnwind() {
            if (!done) {
                lazy.end_filling();
            }
        }
    } guard{*this};

    std::vector<Owned> values;
    values.reserve(params_.class_attributes.size());
    for (const ClassAttribute& attribute : params_.class_attributes) {
        auto value = attribute.compute();
        if (!value) {
            return fail(
                runtime_error_caused_by(std::string("An error occurred while initializing `") +
                                            params_.name + "." + attribute.name + "`",
                                        std::move(value.error())));
        }
        values.push_back(std::move(*value));
    }
    guard.done = true;
    return values;
}

PyStatus LazyClass::write_class_attributes(BorrowedRef<PyTypeObject> type,
                                           std::vector<Owned> values) {
    if (!write_once(type, values)) {
        return fail(runtime_error_caused_by(std::string("An error occurred while initializing `") +
                                                params_.name + ".__dict__`",
                                            fetch_error()));
    }
    return {};
}

bool LazyClass::write_once(BorrowedRef<PyTypeObject> type, const std::vector<Owned>& values) {
    // The test of dict_filled, the writes, emptying the list and setting dict_filled are one step:
    // two threads that both computed the attributes must not both write, and no thread may be
    // dropped from the list while another one writes. Setting a class attribute that is not a
    // special method runs no Python code, so with the global lock nothing else runs meanwhile; a
    // free-threaded build takes the class's own mutex for it. A failed write leaves its error
    // pending, to be fetched once the step is over.
    StepMutex::Held step(writing_);
    if (dict_filled_.load(std::memory_order_acquire)) {
        end_filling();
        return true;
    }
    bool written = true;
    for (std::size_t i = 0; i < values.size() && written; ++i) {
        written = PyObject_SetAttrString(reinterpret_cast<PyObject*>(type.get()),
                                         params_.class_attributes[i].name, values[i].get()) == 0;
    }
    forget_filling_threads();
    if (written) {
        dict_filled_.store(true, std::memory_order_release);
    }
    return written;
}

bool LazyClass::begin_filling() {
    std::lock_guard lock(filling_mutex_);
    auto self = std::this_thread::get_id();
    if (std::ranges::find(filling_threads_, self) != filling_threads_.end()) {
        return false;
    }
    filling_threads_.push_back(self);
    return true;
}

void LazyClass::end_filling() {
    std::lock_guard lock(filling_mutex_);
    std::erase(filling_threads_, std::this_thread::get_id());
}

void LazyClass::forget_filling_threads() {
    std::lock_guard lock(filling_mutex_);
    filling_threads_.clear();
}

PyResult<OwnedRef<PyTypeObject>> LazyClass::create_class() {
    PyTypeObject* base = &PyBaseObject_Type;
    if (params_.base != nullptr) {
        base = required_class_object(*params_.base).get();
    }
    std::vector<PyType_Slot> slots;
    // The own slots, up to six of the others and the terminator: one allocation.
    slots.reserve(params_.own_slots.size() + 7);
    if (!doc_.empty()) {
        slots.push_back({Py_tp_doc, const_cast<char*>(doc_.c_str())});
    }
    slots.insert(slots.end(), params_.own_slots.begin(), params_.own_slots.end());
    if (has_entries(params_.methods)) {
        slots.push_back({Py_tp_methods, params_.methods});
    }
    if (has_entries(params_.getset)) {
        slots.push_back({Py_tp_getset, params_.getset});
    }
    if (has_slot(params_.own_slots, Py_mp_subscript)) {
        slots.push_back({Py_sq_item, as_slot(&item_via_subscript)});
    }
    slots.push_back({Py_tp_base, base});
    if (!has_slot(params_.own_slots, Py_tp_new)) {
        slots.push_back({Py_tp_new, as_slot(&no_constructor)});
    }
    slots.push_back({Py_tp_dealloc, as_slot(params_.dealloc)});
    slots.push_back({0, nullptr});

    unsigned int flags = Py_TPFLAGS_DEFAULT | (params_.subclassable ? Py_TPFLAGS_BASETYPE : 0);
    PyType_Spec spec{full_name_.c_str(), params_.basic_size, 0, flags, slots.data()};
    auto* type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
    if (type == nullptr) {
        return fetched_error();
    }
    return OwnedRef<PyTypeObject>::steal(type);
}

BorrowedRef<PyTypeObject> required_class_object(LazyClass& lazy) {
    auto type = lazy.class_object();
    if (!type) [[unlikely]] {
        std::move(type.error()).raise();
        PyErr_PrintEx(0);
        fail_internally(std::string("failed to create type object for ") + lazy.name());
    }
    return *type;
}

PyObject* no_constructor(PyTypeObject* type, PyObject*, PyObject*) {
    return call_guard([type]() -> PyResult<Owned> {
        std::string name = utf8_of_name(PyType_GetName(type)).value_or("<unknown>");
        return fail(PythonError::deferred(PyExc_TypeError, "No constructor defined for " + name));
    });
}

} // namespace corvane

#include "src/boundary/python_error.hpp"

#include "src/boundary/internal_failure.hpp"
#include "src/boundary/object_creation.hpp"
#include "src/boundary/panic_exception.hpp"
#include "src/boundary/render_object.hpp"

#include <atomic>
#include <memory>

namespace corvane {

namespace {

constexpr const char* kUnknownTypeName = "<failed to extract type name>";

std::string qualified_name_of(BorrowedRef<PyTypeObject> type) {
    return utf8_of_name(PyType_GetQualName(type.get())).value_or(kUnknownTypeName);
}

// An ordinary error whose message the interpreter cannot make is not a fault of corvane's: the
// caller gets the interpreter's own error (a MemoryError), which is left pending.
void raise_message(PyObject* exception_class, std::string_view text) {
    if (exception_class == nullptr) {
        raise_panic(text);
        return;
    }
    Owned message = Owned::steal(
        PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
    if (message) {
        PyErr_SetObject(exception_class, message.get());
    }
}

// The arguments of the panic that says the interpreter could not make an object, made the first
// time a panic is raised and kept for the life of the process: a later panic can be raised with
// them when the interpreter cannot make its message or tuple.
std::atomic<PyObject*> set_aside_args{nullptr};

// A one-element tuple holding `message`, or a str of `text` where there is no `message`; null,
// with the interpreter's error pending, when it cannot make them.
Owned panic_args(std::string_view text, Borrowed message) noexcept {
    Owned made;
    if (!message) {
        made = Owned::steal(
            PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
        if (!made) {
            return {};
        }
        message = made.borrow();
    }
    return Owned::steal(PyTuple_Pack(1, message.get()));
}

void set_aside_api_failure_args() noexcept {
    if (set_aside_args.load(std::memory_order_acquire) != nullptr) [[likely]] {
        return;
    }
    Owned made = panic_args(kApiCallFailed, {});
    PyObject* expected = nullptr;
    if (!made) {
        PyErr_Clear(); // a later panic makes its arguments afresh
    } else if (set_aside_args.compare_exchange_strong(expected, made.get())) {
        static_cast<void>(made.release()); // the stored reference, never released
    }
}

// The panic that says the interpreter could not make an object; null only when its arguments
// were never set aside and cannot be made now.
Owned api_failure_args() noexcept {
    if (Borrowed args = set_aside_args.load(std::memory_order_acquire)) {
        return Owned::new_ref(args);
    }
    Owned made = panic_args(kApiCallFailed, {});
    PyErr_Clear();
    return made;
}

} // namespace

void raise_panic(std::string_view text, Borrowed message) noexcept {
    Owned args = panic_args(text, message);
    if (!args) [[unlikely]] {
        // The object-creation check's account of the failure: the interpreter's error, printed,
        // then the panic that says so.
        PyErr_Print();
        report_internal_failure(kApiCallFailed);
        args = api_failure_args();
        if (!args) {
            abort_at_ffi_boundary(kApiCallFailed);
        }
    }
    Borrowed type = panic_exception_type();
    if (!type) {
        return; // the error that kept the type from being made is pending: the caller gets it
    }
    set_aside_api_failure_args();
    // Should the interpreter not make even the exception object, it raises its own error.
    PyErr_SetObject(type.get(), args.get());
}

PythonError PythonError::composed(Composed state) {
    // The tag bits are free in every pointer the word holds (objects are aligned even wider).
    static_assert(alignof(FixedError) > kTagBits && __STDCPP_DEFAULT_NEW_ALIGNMENT__ > kTagBits);
    return PythonError(reinterpret_cast<std::uintptr_t>(new Composed(std::move(state))));
}

PythonError PythonError::deferred(PyObject* exception_class, std::string message) {
    return composed(Message{exception_class, std::move(message)});
}

PythonError PythonError::deferred(const FixedError& fixed) noexcept {
    return PythonError(reinterpret_cast<std::uintptr_t>(&fixed) | kFixed);
}

PythonError PythonError::panic(std::string message) {
    return composed(Message{nullptr, std::move(message)});
}

PythonError PythonError::type_mismatch(BorrowedRef<PyTypeObject> given, std::string_view target) {
    return composed(TypeMismatch{OwnedRef<PyTypeObject>::new_ref(given), target});
}

PythonError PythonError::realised(Owned exception) noexcept {
    return PythonError(reinterpret_cast<std::uintptr_t>(exception.release()) | kRealised);
}

void PythonError::release_state() noexcept {
    std::uintptr_t word = std::exchange(word_, 0);
    void* pointer = reinterpret_cast<void*>(word & ~std::uintptr_t{kTagBits});
    switch (word & kTagBits) {
    case kComposed:
        delete static_cast<Composed*>(pointer);
        break;
    case kRealised:
        Owned::steal(static_cast<PyObject*>(pointer));
        break;
    default:
        break;
    }
}

void PythonError::raise() && {
    std::uintptr_t word = std::exchange(word_, 0);
    void* pointer = reinterpret_cast<void*>(word & ~std::uintptr_t{kTagBits});
    switch (word & kTagBits) {
    case kRealised:
        PyErr_SetRaisedException(static_cast<PyObject*>(pointer));
        return;
    case kFixed: {
        const auto* fixed = static_cast<const FixedError*>(pointer);
        raise_message(*fixed->exception_class, fixed->text);
        return;
    }
    default:
        break;
    }
    std::unique_ptr<Composed> state(static_cast<Composed*>(pointer));
    if (auto* message = std::get_if<Message>(state.get())) {
        raise_message(message->exception_class, message->text);
    } else {
        auto& mismatch = std::get<TypeMismatch>(*state);
        raise_message(PyExc_TypeError, "'" + qualified_name_of(mismatch.given.borrow()) +
                                           "' object cannot be converted to '" +
                                           std::string(mismatch.target) + "'");
    }
}

void PythonError::realise() {
    if ((word_ & kTagBits) == kRealised) {
        return;
    }
    PythonError pending(std::move(*this));
    std::move(pending).raise();
    *this = realised(Owned::steal(PyErr_GetRaisedException()));
}

Borrowed PythonError::exception() {
    realise();
    return reinterpret_cast<PyObject*>(word_ & ~std::uintptr_t{kTagBits});
}

Owned PythonError::take_exception() && {
    realise();
    return Owned::steal(
        reinterpret_cast<PyObject*>(std::exchange(word_, 0) & ~std::uintptr_t{kTagBits}));
}

} // namespace corvane

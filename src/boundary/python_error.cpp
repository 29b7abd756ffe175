#include "src/boundary/python_error.hpp"

#include "src/boundary/object_creation.hpp"
#include "src/boundary/panic_exception.hpp"
#include "src/boundary/render_object.hpp"

namespace corvane {

namespace {

constexpr const char* kUnknownTypeName = "<failed to extract type name>";

std::string qualified_name_of(BorrowedRef<PyTypeObject> type) {
    return utf8_of_name(PyType_GetQualName(type.get())).value_or(kUnknownTypeName);
}

void raise_message(PyObject* exception_class, const std::string& text) {
    Owned message = new_str(text);
    if (exception_class != nullptr) {
        PyErr_SetObject(exception_class, message.get());
        return;
    }
    Owned args = new_tuple(1);
    PyTuple_SET_ITEM(args.get(), 0, message.release());
    // With no type to raise, the error that kept it from being made is already pending.
    if (Borrowed panic = panic_exception_type()) {
        PyErr_SetObject(panic.get(), args.get());
    }
}

} // namespace

PythonError PythonError::deferred(PyObject* exception_class, std::string message) {
    return PythonError(Message{exception_class, std::move(message)});
}

PythonError PythonError::panic(std::string message) {
    return PythonError(Message{nullptr, std::move(message)});
}

PythonError PythonError::type_mismatch(BorrowedRef<PyTypeObject> given, std::string target) {
    return PythonError(TypeMismatch{OwnedRef<PyTypeObject>::new_ref(given), std::move(target)});
}

PythonError PythonError::realised(Owned exception) {
    return PythonError(std::move(exception));
}

void PythonError::raise() && {
    if (auto* message = std::get_if<Message>(state_.get())) {
        raise_message(message->exception_class, message->text);
    } else if (auto* mismatch = std::get_if<TypeMismatch>(state_.get())) {
        raise_message(PyExc_TypeError, "'" + qualified_name_of(mismatch->given.borrow()) +
                                           "' object cannot be converted to '" + mismatch->target +
                                           "'");
    } else {
        PyErr_SetRaisedException(std::get<Owned>(*state_).release());
    }
}

void PythonError::realise() {
    if (std::holds_alternative<Owned>(*state_)) {
        return;
    }
    PythonError pending(std::move(*this));
    std::move(pending).raise();
    state_ = std::make_unique<State>(Owned::steal(PyErr_GetRaisedException()));
}

Borrowed PythonError::exception() {
    realise();
    return std::get<Owned>(*state_).borrow();
}

Owned PythonError::take_exception() && {
    realise();
    return std::move(std::get<Owned>(*state_));
}

} // namespace corvane

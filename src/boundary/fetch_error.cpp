#include "src/boundary/fetch_error.hpp"

#include "src/boundary/internal_failure.hpp"
#include "src/boundary/panic_exception.hpp"
#include "src/boundary/render_object.hpp"

#include <cstdio>
#include <set>
#include <vector>

namespace corvane {

namespace {

// An exception's __context__ chain, from the exception itself, each exception once: a chain
// that loops (Python code can set any __context__) is taken up to its first repetition. Held
// strongly, so that no exception of it is freed while the chain is relinked.
struct ContextChain {
    std::vector<Owned> links;
    // Ordered: a hash table would bring libc++'s hashing, and libm with it, into the module.
    std::set<PyObject*> members;

    explicit ContextChain(Borrowed first) {
        for (Owned link = Owned::new_ref(first); link && members.insert(link.get()).second;) {
            Owned next = Owned::steal(PyException_GetContext(link.get()));
            links.push_back(std::move(link));
            link = std::move(next);
        }
    }
    bool holds(PyObject* exception) const { return members.contains(exception); }
};

void set_context(PyObject* exception, PyObject* context) {
    if (Owned::steal(PyException_GetContext(exception)).get() != context) {
        PyException_SetContext(exception, Owned::new_ref(context).release());
    }
}

constexpr char kUnwrappedPanic[] = "Unwrapped panic from Python code";

// The text of a panic being resumed, kept in a str, so that it travels to the guard without a
// copy on the C++ heap. str() failing leaves the fallback text, unless what it raised is a stop
// request (KeyboardInterrupt, SystemExit): that ends the call in place of the panic, as does the
// exception of a signal handler that was due when str() was to run. A
// PanicException from that str() is not resumed in turn, since a __str__ can raise a new one
// each time without end.
PyResult<FailureText> panic_text(Borrowed panic) {
    if (PyStatus due = run_due_signal_handlers(panic); !due) {
        return fail(std::move(due.error()));
    }
    if (Owned str = Owned::steal(PyObject_Str(panic.get()))) {
        if (std::optional<FailureText> text = failure_text_of_str(str.borrow())) {
            return std::move(*text);
        }
        return FailureText(kUnwrappedPanic);
    }
    Owned failure = Owned::steal(PyErr_GetRaisedException());
    if (failure && is_stop_request(failure.borrow()) &&
        Py_TYPE(failure.get()) != Py_TYPE(panic.get())) {
        return fail(PythonError::realised(std::move(failure)));
    }
    return FailureText(kUnwrappedPanic);
}

PythonError resume_panic(Owned panic) {
    auto text = panic_text(panic.borrow());
    if (!text) {
        // The panic is not lost: the stop request shows it as the exception it interrupted. It
        // may be the very exception the panic was raised while handling, re-raised by str().
        chain_context(text.error().exception(), panic.borrow());
        return std::move(text.error());
    }
    std::fputs("--- corvane is resuming a panic after fetching a PanicException from Python. ---\n"
               "Python stack trace below:\n",
               stderr);
    PyErr_SetRaisedException(panic.release());
    PyErr_PrintEx(0);
    // The banner and traceback above are this failure's report.
    fail_internally_quietly(std::move(*text));
}

} // namespace

void chain_context(Borrowed raised, Borrowed context) {
    if (raised.get() == context.get()) {
        return;
    }
    ContextChain own(raised);
    ContextChain joined(context);
    // The new order: `raised`, its own chain up to where that reaches `context`'s chain (all of
    // which is in `context`'s chain from there on), then `context`'s chain without `raised`.
    // Every exception of both chains is in it once, and all allocation is done before any
    // context changes.
    std::vector<PyObject*> order;
    order.reserve(own.links.size() + joined.links.size());
    order.push_back(raised.get());
    for (std::size_t i = 1; i < own.links.size() && !joined.holds(own.links[i].get()); ++i) {
        order.push_back(own.links[i].get());
    }
    for (const Owned& link : joined.links) {
        if (link.get() != raised.get()) {
            order.push_back(link.get());
        }
    }
    for (std::size_t i = 0; i + 1 < order.size(); ++i) {
        set_context(order[i], order[i + 1]);
    }
    set_context(order.back(), nullptr);
}

PythonError fetch_error() {
    Owned raised = Owned::steal(PyErr_GetRaisedException());
    if (!raised) {
        static constexpr FixedError kNoneSet{&PyExc_SystemError, kNoErrorSet};
        return PythonError::deferred(kNoneSet);
    }
    // No PanicException exists before its type does, so none is made just to compare.
    Borrowed panic = existing_panic_exception_type();
    if (panic && Py_TYPE(raised.get()) == reinterpret_cast<PyTypeObject*>(panic.get())) {
        return resume_panic(std::move(raised));
    }
    return PythonError::realised(std::move(raised));
}

} // namespace corvane

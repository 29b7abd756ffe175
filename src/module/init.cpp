// PyInit_corvane: the extension's only exported symbol.
//
// The module uses single-phase initialisation and process-wide state: the interpreter that
// first imported it, and the finished top-level module. A later import in that interpreter
// returns the same module without building anything; any other interpreter is refused,
// because the classes and modules built here belong to the first one.
#include "src/boundary/call_guard.hpp"
#include "src/boundary/fetch_error.hpp"
#include "src/module/module_tree.hpp"
#include "src/module/once_ref.hpp"

#include <atomic>
#include <cstdint>

namespace corvane {

namespace {

constexpr const char* kSubinterpreterRefusal =
    "corvane does not yet support subinterpreters, see "
    "https://docs.python.org/3/c-api/init.html#sub-interpreter-support";

struct ModuleInitState {
    std::atomic<std::int64_t> interpreter_id{-1};
    OnceRef<> top_module;
};
ModuleInitState init_state;

PyModuleDef top_module_definition = {
    PyModuleDef_HEAD_INIT,
    "corvane",
    "", // an empty doc string, so that corvane.__doc__ is "" rather than None
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// Binds the calling interpreter on first use; refuses any other interpreter afterwards.
PyStatus bind_interpreter() {
    std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1) {
        return fetched_error();
    }
    std::int64_t unbound = -1;
    if (!init_state.interpreter_id.compare_exchange_strong(unbound, id) && unbound != id) {
        return fail(PythonError::deferred(PyExc_ImportError, kSubinterpreterRefusal));
    }
    return {};
}

PyResult<Owned> make_top_module() {
    if (PyStatus bound = bind_interpreter(); !bound) {
        return forward_error(bound);
    }
    if (Borrowed ready = init_state.top_module.get()) {
        return Owned::new_ref(ready);
    }
    Owned module = Owned::steal(PyModule_Create2(&top_module_definition, 1013));
    if (!module) {
        return fetched_error();
    }
    if (PyStatus built = build_top_module(module.borrow()); !built) {
        return forward_error(built);
    }
    PyObject* ours = module.get();
    Owned top = Owned::new_ref(init_state.top_module.set_or_keep(std::move(module)));
    if (top.get() != ours) {
        // Another build finished first: this one re-entered the import (through an __import__
        // hook while it imported sys) or raced another thread past the check above. Its
        // sys.modules entries have replaced the winner's on the way, so the winner's go back.
        if (PyStatus registered = register_nested_modules(top.borrow()); !registered) {
            return forward_error(registered);
        }
    }
    return top;
}

} // namespace

} // namespace corvane

PyMODINIT_FUNC PyInit_corvane() {
    return corvane::call_guard([] { return corvane::make_top_module(); });
}

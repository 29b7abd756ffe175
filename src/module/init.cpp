// PyInit_corvane: the extension's only exported symbol.
//
// The module uses single-phase initialisation and process-wide state: the interpreter that
// first imported it, and the finished top-level module. A later import in that interpreter
// returns the same module without building anything; any other interpreter is refused,
// because the classes and modules built here belong to the first one.
#include "src/boundary/call_guard.hpp"
#include "src/boundary/fetch_error.hpp"
#include "src/boundary/internal_failure.hpp"
#include "src/module/module_tree.hpp"
#include "src/module/once_ref.hpp"

#include <atomic>
#include <cstdint>
#include <new>
#include <optional>
#include <string>
#include <type_traits>

#if PY_VERSION_HEX >= 0x030C0000 && PY_VERSION_HEX < 0x030D0000
// 3.12 calls a single-phase init function first and only then asks whether the interpreter
// accepts such modules at all, so an interpreter it is about to refuse would bind corvane and
// lock every other one out. This is the check it applies, exported by its library but declared
// only in its internal headers. Weak, so that a library without it still loads corvane.
extern "C" [[gnu::weak]] int _PyImport_CheckSubinterpIncompatibleExtensionAllowed(const char* name);
#endif

namespace corvane {

namespace {

constexpr const char* kSubinterpreterRefusal =
    "corvane does not yet support subinterpreters, see "
    "https://docs.python.org/3/c-api/init.html#sub-interpreter-support";

struct ModuleInitState {
    std::atomic<std::int64_t> interpreter_id{-1};
    // The finished tree (see build_module_tree): the top-level module, then the nested ones.
    OnceRef<> tree;
    // Builds started so far, and those still running. A build that another one overlapped
    // (running when it started, or started while it ran) may find its sys.modules entries
    // replaced by that one's.
    std::atomic<std::uint64_t> builds_started{0};
    std::atomic<std::uint64_t> builds_running{0};
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

// Refuses, before anything binds, an interpreter that the import system will refuse anyway
// once the init function returns (3.12's isolated sub-interpreters); later versions refuse
// such an interpreter before they call the init function.
PyStatus refuse_where_the_import_system_will([[maybe_unused]] PyInterpreterState* interpreter) {
#if PY_VERSION_HEX >= 0x030C0000 && PY_VERSION_HEX < 0x030D0000
    if (interpreter == PyInterpreterState_Main()) {
        return {};
    }
    if (_PyImport_CheckSubinterpIncompatibleExtensionAllowed != nullptr) {
        if (_PyImport_CheckSubinterpIncompatibleExtensionAllowed("corvane") < 0) {
            return fetched_error();
        }
    } else if (_PyInterpreterState_HasFeature(interpreter, Py_RTFLAGS_MULTI_INTERP_EXTENSIONS)) {
        return fail(PythonError::deferred(
            PyExc_ImportError, "module corvane does not support loading in subinterpreters"));
    }
#endif
    return {};
}

// Binds the calling interpreter on first use; refuses any other interpreter afterwards.
PyStatus bind_interpreter() {
    PyInterpreterState* interpreter = PyInterpreterState_Get();
    std::int64_t id = PyInterpreterState_GetID(interpreter);
    if (id == -1) {
        return fetched_error();
    }
    if (PyStatus accepted = refuse_where_the_import_system_will(interpreter); !accepted) {
        return accepted;
    }
    std::int64_t unbound = -1;
    if (!init_state.interpreter_id.compare_exchange_strong(unbound, id) && unbound != id) {
        return fail(PythonError::deferred(PyExc_ImportError, kSubinterpreterRefusal));
    }
    return {};
}

// Runs a step of the import whose internal failure is not the end of it: the failure becomes
// what the call guard would make of it, a PanicException (deferred: nothing is made yet), or a
// MemoryError when the C++ heap has run out, in the step or while the panic is composed. The
// handler is left before anything runs that can run Python code, and nothing thrown escapes, so
// that a failed build always gets to put back what it displaced.
template <class Body> std::invoke_result_t<Body> failure_as_panic(Body&& body) {
    std::optional<PythonError> panic;
    try {
        return body();
    } catch (const std::bad_alloc&) {
    } catch (...) {
        try {
            panic = PythonError::panic(std::string(current_failure_message()));
        } catch (const std::bad_alloc&) {
        }
    }
    if (panic) {
        return fail(std::move(*panic));
    }
    PyErr_NoMemory(); // runs no Python code, nor does taking its error
    return fetched_error();
}

// Hands an error that no caller can be given to the unraisable hook, with the module that the
// work it ended was for.
void report_unraisable(PythonError error, Borrowed tree) {
    std::move(error).raise();
    PyErr_WriteUnraisable(top_module_of(tree).get());
}

// Puts the stored tree's modules back in sys.modules, should a build that met it have entered
// its own over them. That goes through the import of sys, as a build does. Should it be cut
// short (a Ctrl-C from an import hook, say), the rest is entered at once, straight into
// sys.modules: nothing later would finish it, since a build that fails after a re-entered
// import succeeded leaves that import's "corvane" in sys.modules, and importing corvane again
// then calls nothing here. The result is the first attempt's; an error of the second is
// reported as unraisable.
PyStatus restore_stored_registrations(Borrowed tree) {
    PyStatus restored = failure_as_panic([tree] { return register_nested_modules(tree); });
    if (!restored) {
        if (PyStatus entered = register_nested_modules_directly(tree); !entered) {
            report_unraisable(std::move(entered.error()), tree);
        }
    }
    return restored;
}

// What a failed build ends with. What it entered in sys.modules gives way to the stored tree
// first, if there is one. A stop request that interrupts that (KeyboardInterrupt, SystemExit,
// ...) is what the caller gets, with the build's error in its context; any other error of it is
// reported as unraisable, and the caller gets the build's error.
PythonError end_failed_build(PythonError failure) {
    Borrowed tree = init_state.tree.get();
    if (!tree) {
        return failure;
    }
    PyStatus restored = restore_stored_registrations(tree);
    if (restored) {
        return failure;
    }
    PythonError interruption = std::move(restored.error());
    if (!is_stop_request(interruption.exception())) {
        report_unraisable(std::move(interruption), tree);
        return failure;
    }
    // Should the build's error not even be made (for want of memory), the stop request still
    // reaches the caller, without it.
    auto build_error = failure_as_panic(
        [&failure]() -> PyResult<Owned> { return std::move(failure).take_exception(); });
    if (build_error) {
        chain_context(interruption.exception(), build_error->borrow());
    }
    return interruption;
}

// Tells a free-threaded interpreter that corvane runs without the global lock, so that importing
// it leaves the lock off. Everything that two threads can reach is made safe for that (see
// src/boundary/thread_safety.hpp). Set on the module that the init function returns, which is
// what the interpreter looks at; with the lock built in there is nothing to say.
PyStatus declare_no_gil_needed([[maybe_unused]] Borrowed module) {
#ifdef Py_GIL_DISABLED
    if (PyUnstable_Module_SetGIL(module.get(), Py_MOD_GIL_NOT_USED) < 0) {
        return fetched_error();
    }
#endif
    return {};
}

// A newly built tree, not yet stored.
PyResult<Owned> build_tree() {
    Owned module = Owned::steal(PyModule_Create2(&top_module_definition, 1013));
    if (!module) {
        return fetched_error();
    }
    if (PyStatus declared = declare_no_gil_needed(module.borrow()); !declared) {
        return forward_error(declared);
    }
    return build_module_tree(module.borrow());
}

// One build's place among the others, from its start to its end (however it ends).
class BuildInProgress {
  public:
    BuildInProgress()
        : others_running_(init_state.builds_running.fetch_add(1) > 0),
          number_(init_state.builds_started.fetch_add(1) + 1) {}
    ~BuildInProgress() { init_state.builds_running.fetch_sub(1); }
    BuildInProgress(const BuildInProgress&) = delete;
    BuildInProgress& operator=(const BuildInProgress&) = delete;

    bool met_another() const {
        return others_running_ || init_state.builds_started.load() != number_;
    }

  private:
    bool others_running_;
    std::uint64_t number_;
};

PyResult<Owned> make_top_module() {
    if (PyStatus bound = bind_interpreter(); !bound) {
        return forward_error(bound);
    }
    if (Borrowed ready = init_state.tree.get()) {
        return Owned::new_ref(top_module_of(ready));
    }
    // Another build can run beside this one: re-entered through an __import__ hook while this
    // one imports sys, or from another thread while the interpreter lets it in. Whichever way
    // a build ends (won, lost or failed), the stored tree, if there is one, is what sys.modules
    // holds then. A failed build reports its own error, unless a stop request interrupts the
    // restoring; an internal failure ends it as an error does.
    BuildInProgress build;
    auto built = failure_as_panic(build_tree);
    if (!built) {
        return fail(end_failed_build(std::move(built.error())));
    }
    PyObject* ours = built->get();
    Borrowed tree = init_state.tree.set_or_keep(std::move(*built));
    if (tree.get() != ours || build.met_another()) {
        if (PyStatus registered = restore_stored_registrations(tree); !registered) {
            return forward_error(registered);
        }
    }
    return Owned::new_ref(top_module_of(tree));
}

} // namespace

} // namespace corvane

PyMODINIT_FUNC PyInit_corvane() {
    return corvane::call_guard([] { return corvane::make_top_module(); });
}

#include "src/module/module_tree.hpp"

#include "src/boundary/fetch_error.hpp"
#include "src/boundary/internal_failure.hpp"
#include "src/boundary/object_creation.hpp"
#include "src/boundary/render_object.hpp"
#include "src/classes/class_registry.hpp"
#include "src/do_mod/packets/builders.hpp"
#include "src/module/lazy_class.hpp"
#include "src/module/once_ref.hpp"

#include <iterator>

namespace corvane {

namespace {

// The nested modules' sys.modules keys, in the order the build enters them; a built tree
// holds the modules in the same order after the top-level one.
constexpr const char* kNestedKeys[] = {
    "corvane.do_mod.packets.get_do",
    "corvane.do_mod.packets.set_do",
    "corvane.do_mod.packets",
    "corvane.do_mod",
};
constexpr Py_ssize_t kTreeSize = 1 + std::size(kNestedKeys);

// The nested modules of the tree being built, kept as they enter sys.modules.
struct NestedModules {
    Owned by_key[std::size(kNestedKeys)];
};

// "__all__" and "__name__" are interned once per process and reused for every look-up.
Borrowed interned(OnceRef<>& cell, const char* text) {
    if (Borrowed name = cell.get()) {
        return name;
    }
    return cell.set_or_keep(checked_creation(PyUnicode_InternFromString(text)));
}
OnceRef<> all_name_cell;
OnceRef<> name_name_cell;
Borrowed all_name() {
    return interned(all_name_cell, "__all__");
}
Borrowed name_name() {
    return interned(name_name_cell, "__name__");
}

PyStatus status_of(int c_api_result) {
    if (c_api_result < 0) [[unlikely]] {
        return fetched_error();
    }
    return {};
}

PyResult<Owned> owned_or_error(PyObject* created) {
    if (created == nullptr) [[unlikely]] {
        return fetched_error();
    }
    return Owned::steal(created);
}

// Reads an attribute that may be missing: 1 and the value, 0 when the object has no such
// attribute, -1 with an error set. A missing attribute raises nothing on the way, so the first
// addition to each new module does not build and format an AttributeError only to drop it.
int optional_attribute(Borrowed object, Borrowed name, PyObject** value) {
#if PY_VERSION_HEX >= 0x030D0000
    return PyObject_GetOptionalAttr(object.get(), name.get(), value);
#else
    return _PyObject_LookupAttr(object.get(), name.get(), value);
#endif
}

// The module's __all__, created empty when the module has none yet.
PyResult<Owned> all_list_of(Borrowed module) {
    PyObject* existing = nullptr;
    int found = optional_attribute(module, all_name(), &existing);
    if (found < 0) {
        return fetched_error();
    }
    if (found > 0) {
        return Owned::steal(existing);
    }
    Owned list = new_list(0);
    if (PyStatus set = status_of(PyObject_SetAttr(module.get(), all_name().get(), list.get()));
        !set) {
        return forward_error(set);
    }
    return list;
}

// Every attribute of a module is listed in its __all__ first, then set.
PyStatus module_add(Borrowed module, Borrowed name, Borrowed value) {
    auto all = all_list_of(module);
    if (!all) {
        return forward_error(all);
    }
    if (PyList_Append(all->get(), name.get()) < 0) {
        auto text = render_object(fetch_error().exception(), Rendering::handled_error);
        if (!text) {
            return forward_error(text);
        }
        fail_internally("could not append __name__ to __all__: " + *text);
    }
    return status_of(PyObject_SetAttr(module.get(), name.get(), value.get()));
}

PyStatus register_module(const char* key, Borrowed module) {
    Owned sys_name = new_str("sys");
    auto sys = owned_or_error(PyImport_Import(sys_name.get()));
    if (!sys) {
        return forward_error(sys);
    }
    auto modules = owned_or_error(PyObject_GetAttrString(sys->get(), "modules"));
    if (!modules) {
        return forward_error(modules);
    }
    Owned dotted_key = new_str(key);
    return status_of(PyObject_SetItem(modules->get(), dotted_key.get(), module.get()));
}

PyStatus attach_submodule(Borrowed parent, Borrowed child) {
    auto name = owned_or_error(PyModule_GetNameObject(child.get()));
    if (!name) {
        return forward_error(name);
    }
    return module_add(parent, name->borrow(), child);
}

// Nested modules enter sys.modules complete, and only then hang from their parent.
PyStatus register_and_attach(NestedModules& nested, std::size_t index, Borrowed parent,
                             PyResult<Owned> child) {
    if (!child) {
        return forward_error(child);
    }
    if (PyStatus registered = register_module(kNestedKeys[index], child->borrow()); !registered) {
        return registered;
    }
    nested.by_key[index] = Owned::new_ref(child->borrow());
    return attach_submodule(parent, child->borrow());
}

PyStatus attach_function(Borrowed module, PyMethodDef& definition) {
    auto module_name = owned_or_error(PyModule_GetNameObject(module.get()));
    if (!module_name) {
        return forward_error(module_name);
    }
    auto function =
        owned_or_error(PyCMethod_New(&definition, module.get(), module_name->get(), nullptr));
    if (!function) {
        return forward_error(function);
    }
    auto name = owned_or_error(PyObject_GetAttr(function->get(), name_name().get()));
    if (!name) {
        return forward_error(name);
    }
    return module_add(module, name->borrow(), function->borrow());
}

PyStatus attach_class(Borrowed module, LazyClass& lazy) {
    auto type = lazy.class_object();
    if (!type) {
        return forward_error(type);
    }
    Owned name = new_str(lazy.name());
    return module_add(module, name.borrow(), reinterpret_cast<PyObject*>(type->get()));
}

PyStatus attach_classes(Borrowed module, std::initializer_list<LazyClass*> classes) {
    for (LazyClass* lazy : classes) {
        if (PyStatus attached = attach_class(module, *lazy); !attached) {
            return attached;
        }
    }
    return {};
}

PyResult<Owned> new_module(const char* name) {
    Owned module_name = new_str(name);
    return owned_or_error(PyModule_NewObject(module_name.get()));
}

// A module holding the given classes, in the order given.
PyResult<Owned> build_class_module(const char* name, std::initializer_list<LazyClass*> classes) {
    auto module = new_module(name);
    if (!module) {
        return module;
    }
    if (PyStatus attached = attach_classes(module->borrow(), classes); !attached) {
        return forward_error(attached);
    }
    return module;
}

PyResult<Owned> build_get_do() {
    return build_class_module(
        "get_do", {&classes::get_douts_request_class(), &classes::get_douts_response_class()});
}

PyResult<Owned> build_set_do() {
    return build_class_module(
        "set_do", {&classes::set_douts_request_class(), &classes::set_douts_response_class()});
}

PyResult<Owned> build_packets(NestedModules& nested) {
    auto packets = new_module("packets");
    if (!packets) {
        return packets;
    }
    PyStatus built = register_and_attach(nested, 0, packets->borrow(), build_get_do());
    if (built) {
        built = register_and_attach(nested, 1, packets->borrow(), build_set_do());
    }
    if (built) {
        built = attach_classes(packets->borrow(),
                               {&classes::request_class(), &classes::response_class()});
    }
    if (!built) {
        return forward_error(built);
    }
    return packets;
}

PyResult<Owned> build_do_mod(NestedModules& nested) {
    auto do_mod = new_module("do_mod");
    if (!do_mod) {
        return do_mod;
    }
    PyStatus built = register_and_attach(nested, 2, do_mod->borrow(), build_packets(nested));
    if (!built) {
        return forward_error(built);
    }
    return do_mod;
}

// sys.modules as the sys module holds it, looked up without an import (which could run import
// hooks), as a strong reference; null, with no error set, when it cannot be had.
Owned sys_modules_directly() {
#if PY_VERSION_HEX >= 0x030D0000
    // PySys_GetObject's result is borrowed from the sys module's dict, and on a free-threaded
    // build another thread can replace sys.modules, and free the old one, before that is held.
    // So the sys module is taken, held, from the interpreter's own table of modules (which lives
    // as long as the interpreter), and the mapping from its dict as a strong reference in one
    // step.
    PyObject* found = nullptr;
    PyDict_GetItemStringRef(PyImport_GetModuleDict(), "sys", &found);
    Owned sys = Owned::steal(found);
    PyObject* modules = nullptr;
    if (sys && PyModule_Check(sys.get())) {
        PyDict_GetItemStringRef(PyModule_GetDict(sys.get()), "modules", &modules);
    }
    PyErr_Clear(); // a failed look-up is no sys.modules to enter anything in
    return Owned::steal(modules);
#else
    // Borrowed from the sys module's dict, which a freed module's finalizers could change; with
    // the global lock, nothing else runs before it is held.
    return Owned::new_ref(PySys_GetObject("modules"));
#endif
}

} // namespace

PyStatus register_nested_modules(Borrowed tree) {
    for (std::size_t i = 0; i < std::size(kNestedKeys); ++i) {
        Borrowed module = PyTuple_GET_ITEM(tree.get(), static_cast<Py_ssize_t>(i) + 1);
        if (PyStatus registered = register_module(kNestedKeys[i], module); !registered) {
            return registered;
        }
    }
    return {};
}

PyStatus register_nested_modules_directly(Borrowed tree) {
    Owned modules = sys_modules_directly();
    if (!modules || !PyDict_CheckExact(modules.get())) {
        return {};
    }
    for (std::size_t i = 0; i < std::size(kNestedKeys); ++i) {
        Borrowed module = PyTuple_GET_ITEM(tree.get(), static_cast<Py_ssize_t>(i) + 1);
        if (PyStatus registered =
                status_of(PyDict_SetItemString(modules.get(), kNestedKeys[i], module.get()));
            !registered) {
            return registered;
        }
    }
    return {};
}

Borrowed top_module_of(Borrowed tree) {
    return PyTuple_GET_ITEM(tree.get(), 0);
}

PyResult<Owned> build_module_tree(Borrowed top_module) {
    NestedModules nested;
    PyStatus built = register_and_attach(nested, 3, top_module, build_do_mod(nested));
    if (built) {
        built = attach_function(top_module, do_mod::get_do_request_definition());
    }
    if (built) {
        built = attach_function(top_module, do_mod::set_do_request_definition());
    }
    if (!built) {
        return forward_error(built);
    }
    Owned tree = new_tuple(kTreeSize);
    PyTuple_SET_ITEM(tree.get(), 0, Owned::new_ref(top_module).release());
    for (std::size_t i = 0; i < std::size(kNestedKeys); ++i) {
        PyTuple_SET_ITEM(tree.get(), static_cast<Py_ssize_t>(i) + 1, nested.by_key[i].release());
    }
    return tree;
}

} // namespace corvane

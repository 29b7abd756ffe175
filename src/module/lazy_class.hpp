// Creation and caching of corvane's class objects.
//
// Each class has one LazyClass for the whole process. Its class object is created on first
// need from the class's creation parameters and then filled with its class attributes
// (which may themselves be classes that need this one as their base, hence the list of
// threads currently filling it).
#pragma once

#include "src/boundary/python_error.hpp"
#include "src/boundary/thread_safety.hpp"
#include "src/module/once_ref.hpp"

#include <atomic>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <vector>

namespace corvane {

class LazyClass;

struct ClassAttribute {
    const char* name;
    PyResult<Owned> (*compute)();
};

// What a class is made of. The tables (methods, getset) are null-terminated as the
// interpreter wants them; an empty table is just its terminator.
struct ClassParams {
    const char* name;
    LazyClass* base = nullptr;            // null: object
    const char* text_signature = nullptr; // null: no doc at all
    bool subclassable = false;
    int basic_size = 0;
    destructor dealloc = nullptr;
    std::span<const PyType_Slot> own_slots = {}; // constructor and protocol slots
    PyMethodDef* methods = nullptr;
    PyGetSetDef* getset = nullptr;
    std::span<const ClassAttribute> class_attributes = {};
};

class LazyClass {
  public:
    explicit LazyClass(ClassParams params);

    const char* name() const noexcept { return params_.name; }

    // Borrowed reference to the class object, creating and filling it on first need.
    PyResult<BorrowedRef<PyTypeObject>> class_object();

  private:
    PyResult<BorrowedRef<PyTypeObject>> created_class();
    PyStatus fill_class_attributes(BorrowedRef<PyTypeObject> type);
    PyResult<std::vector<Owned>> compute_class_attributes();
    PyStatus write_class_attributes(BorrowedRef<PyTypeObject> type, std::vector<Owned> values);
    bool write_once(BorrowedRef<PyTypeObject> type, const std::vector<Owned>& values);
    PyResult<OwnedRef<PyTypeObject>> create_class();

    bool begin_filling();
    void end_filling();
    void forget_filling_threads();

    ClassParams params_;
    std::string doc_;       // computed once: "Name(signature)\n--\n\n"
    std::string full_name_; // "builtins.Name"
    OnceRef<PyTypeObject> class_object_;
    std::atomic<bool> dict_filled_{false};
    std::mutex filling_mutex_;
    std::vector<std::thread::id> filling_threads_;
    StepMutex writing_; // the writing of the class attributes (free-threaded builds only)
};

// The class object of a class that corvane's own code needs. A class that cannot be
// created is an internal failure, after the interpreter's error has been printed.
BorrowedRef<PyTypeObject> required_class_object(LazyClass& lazy);

// Constructor slot of classes that cannot be instantiated: "No constructor defined for {name}".
PyObject* no_constructor(PyTypeObject* type, PyObject* args, PyObject* kwargs);

} // namespace corvane

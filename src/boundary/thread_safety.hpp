// What keeps state that two threads can reach consistent when the interpreter has no global lock.
//
// With the lock (every build but a free-threaded one), an entry point runs alone for as long as it
// runs no Python code, and that is all the consistency corvane needs: everything here then
// compiles to nothing, so those builds pay nothing for it. A free-threaded interpreter
// (`--disable-gil`, Py_GIL_DISABLED) runs calls truly in parallel, and there each tool does what
// the lock did:
//   - a value stored inline in an object (a record) is read and written whole, as one atomic
//     access, so that a read beside a write sees the old value or the new one, never a mix;
//   - an object that other threads can change while corvane walks it (a caller's keyword dict)
//     is walked inside the interpreter's critical section on that object;
//   - a step that must happen once, and whole, is run under a mutex of the interpreter's own
//     (PyMutex), which lets the thread take part in the interpreter's stop-the-world pauses while
//     it waits.
#pragma once

#include <Python.h>

#include <atomic>
#include <type_traits>

namespace corvane {

// A value that other threads may read or write at the same time, read as one whole.
template <class Value>
[[gnu::always_inline]] inline Value load_shared(const Value& stored) noexcept {
#ifdef Py_GIL_DISABLED
    if constexpr (std::is_empty_v<Value>) {
        return Value{};
    } else {
        static_assert(std::atomic_ref<Value>::is_always_lock_free);
        return std::atomic_ref<Value>(const_cast<Value&>(stored)).load(std::memory_order_relaxed);
    }
#else
    return stored;
#endif
}

// Writes a value that other threads may read or write at the same time, as one whole.
template <class Value>
[[gnu::always_inline]] inline void store_shared(Value& stored, Value value) noexcept {
#ifdef Py_GIL_DISABLED
    if constexpr (!std::is_empty_v<Value>) {
        static_assert(std::atomic_ref<Value>::is_always_lock_free);
        std::atomic_ref<Value>(stored).store(value, std::memory_order_relaxed);
    }
#else
    stored = value;
#endif
}

// The interpreter's critical section on one object, for as long as this lives: no other thread
// changes the object meanwhile. Should this thread block on another lock while it holds one, the
// interpreter suspends the section and takes it again before this thread goes on, so whatever
// was read from the object before then must be held by a strong reference.
class ObjectCriticalSection {
  public:
#ifdef Py_GIL_DISABLED
    explicit ObjectCriticalSection(PyObject* object) noexcept {
        PyCriticalSection_Begin(&section_, object);
    }
    ~ObjectCriticalSection() { PyCriticalSection_End(&section_); }
#else
    explicit ObjectCriticalSection(PyObject*) noexcept {}
#endif
    ObjectCriticalSection(const ObjectCriticalSection&) = delete;
    ObjectCriticalSection& operator=(const ObjectCriticalSection&) = delete;

  private:
#ifdef Py_GIL_DISABLED
    PyCriticalSection section_;
#endif
};

// A lock for a step that must run whole and once; nothing on builds with the global lock, where
// such a step runs no Python code and so runs alone.
class StepMutex {
  public:
    class Held {
      public:
#ifdef Py_GIL_DISABLED
        explicit Held(StepMutex& mutex) noexcept : mutex_(mutex) { PyMutex_Lock(&mutex_.mutex_); }
        ~Held() { PyMutex_Unlock(&mutex_.mutex_); }
#else
        explicit Held(StepMutex&) noexcept {}
#endif
        Held(const Held&) = delete;
        Held& operator=(const Held&) = delete;

      private:
#ifdef Py_GIL_DISABLED
        StepMutex& mutex_;
#endif
    };

  private:
#ifdef Py_GIL_DISABLED
    PyMutex mutex_{};
#endif
};

} // namespace corvane

// Typed references to Python objects.
//
// Every PyObject* that corvane holds is one of two kinds, and the kind is in the type:
//   OwnedRef<T>    a strong reference: released exactly once, by its destructor or by
//                  handing it to the interpreter with release();
//   BorrowedRef<T> a reference someone else keeps alive: never released.
// One rule per kind of C API return: "new reference" results are wrapped with steal(),
// "borrowed reference" results with BorrowedRef, and nothing else touches refcounts.
//
// The rule for holding: a BorrowedRef is only good while nothing can run Python code. Any
// call that can (str(), __index__, the unraisable hook, attribute writes, imports, raising
// an exception of a class that Python code may have changed, and with any of them the garbage
// collector, whose finalizers run where Python code runs) can change or free whatever
// someone else keeps alive, the contents of a caller's dict included. So every object used
// after such a call is held by an OwnedRef across it (new_ref() where it arrives borrowed).
// What needs no hold: the arguments the interpreter passes to an entry point, which the
// caller keeps alive for the call, and the items of a tuple it passes, as a tuple never
// changes; and the objects corvane stores once and never releases (class objects, the
// finished top module, interned names, the PanicException type).
#pragma once

#include <Python.h>

#include <utility>

namespace corvane {

template <class T = PyObject> class BorrowedRef {
  public:
    constexpr BorrowedRef() noexcept = default;
    constexpr BorrowedRef(T* p) noexcept : p_(p) {}

    T* get() const noexcept { return p_; }
    PyObject* object() const noexcept { return reinterpret_cast<PyObject*>(p_); }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    T* operator->() const noexcept { return p_; }

  private:
    T* p_ = nullptr;
};

template <class T = PyObject> class OwnedRef {
  public:
    constexpr OwnedRef() noexcept = default;
    OwnedRef(const OwnedRef&) = delete;
    OwnedRef& operator=(const OwnedRef&) = delete;
    OwnedRef(OwnedRef&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    OwnedRef& operator=(OwnedRef&& other) noexcept {
        OwnedRef old(std::move(*this));
        p_ = std::exchange(other.p_, nullptr);
        return *this;
    }
    // The null test stays inline, so a moved-from or released reference costs nothing even
    // where the compiler keeps the interpreter's decrement out of line.
    [[gnu::always_inline]] ~OwnedRef() {
        if (p_ != nullptr) {
            Py_DECREF(reinterpret_cast<PyObject*>(p_));
        }
    }

    // Takes over a new reference that the caller owns (may be null).
    static OwnedRef steal(T* p) noexcept { return OwnedRef(p); }
    // Takes a new strong reference to an object someone else keeps alive.
    static OwnedRef new_ref(BorrowedRef<T> p) noexcept {
        Py_XINCREF(p.object());
        return OwnedRef(p.get());
    }

    T* get() const noexcept { return p_; }
    PyObject* object() const noexcept { return reinterpret_cast<PyObject*>(p_); }
    BorrowedRef<T> borrow() const noexcept { return BorrowedRef<T>(p_); }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    T* operator->() const noexcept { return p_; }

    // Hands the reference over (to the interpreter, or to a C API call that steals it).
    [[nodiscard]] T* release() noexcept { return std::exchange(p_, nullptr); }

  private:
    explicit OwnedRef(T* p) noexcept : p_(p) {}
    T* p_ = nullptr;
};

using Owned = OwnedRef<PyObject>;
using Borrowed = BorrowedRef<PyObject>;

} // namespace corvane

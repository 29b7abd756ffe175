// A cell that holds one strong reference, set at most once and never released.
//
// Values are built outside the cell: the interpreter may let another thread in while one is
// built, so two builds can race. The first value stored wins; a later one is released and
// its builder carries on with the stored value.
#pragma once

#include "src/boundary/refs.hpp"

#include <atomic>

namespace corvane {

template <class T = PyObject> class OnceRef {
  public:
    BorrowedRef<T> get() const noexcept { return cell_.load(std::memory_order_acquire); }

    // Stores `value` unless the cell is already set; returns what the cell holds.
    BorrowedRef<T> set_or_keep(OwnedRef<T> value) noexcept {
        T* expected = nullptr;
        if (cell_.compare_exchange_strong(expected, value.get(), std::memory_order_acq_rel)) {
            return value.release();
        }
        return expected; // `value` is released on return
    }

  private:
    std::atomic<T*> cell_{nullptr};
};

} // namespace corvane

// Borrow counters guarding each instance's native value: any number of
// readers or one writer, updated with compare-and-swap so that methods running
// without the GIL can share an instance safely.
//
//   SharedBorrow read(self->borrow);
//   if (!read) return nullptr;          // RuntimeError "Already mutably borrowed"
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <cstdint>

namespace morvend::py {

// BorrowFlag: 0 free, k > 0 shared borrows, -1 one exclusive borrow.
class BorrowFlag {
 public:
  bool try_shared() {
    std::int64_t cur = state_.load(std::memory_order_relaxed);
    do {
      if (cur < 0) return false;
    } while (!state_.compare_exchange_weak(cur, cur + 1, std::memory_order_acquire,
                                           std::memory_order_relaxed));
    return true;
  }
  void release_shared() { state_.fetch_sub(1, std::memory_order_release); }
  bool try_exclusive() {
    std::int64_t expected = 0;
    return state_.compare_exchange_strong(expected, -1, std::memory_order_acquire,
                                          std::memory_order_relaxed);
  }
  void release_exclusive() { state_.store(0, std::memory_order_release); }

 private:
  std::atomic<std::int64_t> state_{0};
};

// SharedBorrow: a read borrow for its scope; false (exception set) if refused.
class SharedBorrow {
 public:
  explicit SharedBorrow(BorrowFlag& flag) : flag_(flag.try_shared() ? &flag : nullptr) {
    if (!flag_) PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
  }
  ~SharedBorrow() {
    if (flag_) flag_->release_shared();
  }
  SharedBorrow(const SharedBorrow&) = delete;
  SharedBorrow& operator=(const SharedBorrow&) = delete;
  explicit operator bool() const { return flag_ != nullptr; }

 private:
  BorrowFlag* flag_;
};

// ExclusiveBorrow: a write borrow for its scope; false (exception set) if refused.
class ExclusiveBorrow {
 public:
  explicit ExclusiveBorrow(BorrowFlag& flag) : flag_(flag.try_exclusive() ? &flag : nullptr) {
    if (!flag_) PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
  }
  ~ExclusiveBorrow() {
    if (flag_) flag_->release_exclusive();
  }
  ExclusiveBorrow(const ExclusiveBorrow&) = delete;
  ExclusiveBorrow& operator=(const ExclusiveBorrow&) = delete;
  explicit operator bool() const { return flag_ != nullptr; }

 private:
  BorrowFlag* flag_;
};

}  // namespace morvend::py

// GIL helpers: release the interpreter lock for a long computation, take it
// back for each call into Python from any thread, and survive the end of the
// interpreter while doing so.
//
// At exit, CPython ends every other thread that tries to take the GIL with
// pthread_exit, a forced unwind. Unwinding our frames would run destructors
// that touch Python objects without the lock, meet noexcept frames and the
// thread pool's catch-all handlers, and abort the process. So every place
// that may take the GIL (directly, or by running Python code that may release
// and retake it) goes through enter_python() or guarded(), which instead park
// the thread for good: the process is ending and takes the thread with it.
// Once the interpreter has begun to exit, threads other than the exiting one
// park before they even try.
//
//   {
//     GilRelease unlocked;              // other Python threads run meanwhile
//     ... engine work ...
//     { GilAcquire locked; guarded([&] { return PyObject_Vectorcall(f, args, 1, nullptr); }); }
//   }                                   // lock re-acquired here
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <exception>
#include <utility>

namespace morvend::py {

// park_thread: blocks this thread until the process ends.
[[noreturn]] void park_thread() noexcept;

// watch_interpreter_exit: makes interpreter_exiting() true once the
// interpreter starts to exit (an atexit callback). Cheap after the first call.
// REQUIRES: the GIL. False with an exception set on failure.
bool watch_interpreter_exit();

// interpreter_exiting: whether this thread must stay out of Python because
// the interpreter is exiting on another thread.
bool interpreter_exiting();

// guarded: runs `call`, which may run Python code; parks the thread instead
// of unwinding it when the interpreter ends it.
// NOTE: keep `call` free of objects with destructors: the unwind passes
// through it.
template <class F>
auto guarded(F&& call) -> decltype(std::forward<F>(call)()) {
  try {
    return std::forward<F>(call)();
  } catch (...) {
    // The forced unwind is foreign to C++: it has no exception object to
    // capture (catching it as abi::__forced_unwind& binds a reference to none).
    if (!std::current_exception()) park_thread();
    throw;
  }
}

// GilRelease: releases the GIL held by this thread for its scope.
class GilRelease {
 public:
  GilRelease() : saved_(PyEval_SaveThread()) {}
  ~GilRelease() {
    if (interpreter_exiting()) park_thread();
    guarded([this] { PyEval_RestoreThread(saved_); });
  }
  GilRelease(const GilRelease&) = delete;
  GilRelease& operator=(const GilRelease&) = delete;

 private:
  PyThreadState* saved_;
};

// enter_python: PyGILState_Ensure, parking the thread at interpreter exit.
inline PyGILState_STATE enter_python() {
  if (interpreter_exiting()) park_thread();
  return guarded([] { return PyGILState_Ensure(); });
}

// GilAcquire: holds the GIL for its scope. On a thread that already holds it
// only the nesting count changes; otherwise the thread's own thread state is
// used (worker threads bind one first, see bind_thread_state).
class GilAcquire {
 public:
  GilAcquire() : state_(enter_python()) {}
  ~GilAcquire() { PyGILState_Release(state_); }
  GilAcquire(const GilAcquire&) = delete;
  GilAcquire& operator=(const GilAcquire&) = delete;

 private:
  PyGILState_STATE state_;
};

}  // namespace morvend::py

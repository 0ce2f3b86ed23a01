// GIL helpers: release the interpreter lock for a long computation, and take
// it back for each call into Python from any thread.
//
//   {
//     GilRelease unlocked;              // other Python threads run meanwhile
//     ... engine work ...
//     { GilAcquire locked; call the value function; }
//   }                                   // lock re-acquired here
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace morvend::py {

// GilRelease: releases the GIL held by this thread for its scope.
class GilRelease {
 public:
  GilRelease() : saved_(PyEval_SaveThread()) {}
  ~GilRelease() { PyEval_RestoreThread(saved_); }
  GilRelease(const GilRelease&) = delete;
  GilRelease& operator=(const GilRelease&) = delete;

 private:
  PyThreadState* saved_;
};

// GilAcquire: holds the GIL for its scope. On a thread that already holds it
// only the nesting count changes; otherwise the thread's own thread state is
// used (worker threads bind one first, see bind_thread_state).
class GilAcquire {
 public:
  GilAcquire() : state_(PyGILState_Ensure()) {}
  ~GilAcquire() { PyGILState_Release(state_); }
  GilAcquire(const GilAcquire&) = delete;
  GilAcquire& operator=(const GilAcquire&) = delete;

 private:
  PyGILState_STATE state_;
};

}  // namespace morvend::py

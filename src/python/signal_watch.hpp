// SignalWatch: lets Ctrl-C stop a long computation started from Python.
//
// Python runs signal handlers only on the main thread, between bytecodes; a
// computation in native code would not see Ctrl-C until its next call into
// Python. While a SignalWatch lives on the main thread, the computations it
// covers ask it every few milliseconds of their work (graph/interrupt.hpp);
// it runs the pending handlers, taking the GIL briefly when the thread runs
// without it, and stops the computation when a handler raised. The method
// then re-raises that exception (KeyboardInterrupt, or whatever the handler
// raised). On other threads it does nothing: their signals wait for the main
// thread, as in Python.
//
//   SignalWatch watch;                       // GIL held
//   Result<X> r = long_computation();        // AsvError::interrupted() after Ctrl-C
//   if (watch.raise_pending()) return nullptr;
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <optional>

#include "graph/interrupt.hpp"
#include "python/py_ref.hpp"

namespace morvend::py {

class SignalWatch final : public InterruptSource {
 public:
  // REQUIRES: the GIL.
  SignalWatch();
  // REQUIRES: the GIL.
  ~SignalWatch() override = default;
  SignalWatch(const SignalWatch&) = delete;
  SignalWatch& operator=(const SignalWatch&) = delete;

  bool interrupted() override;
  // raise_pending: sets the exception a handler raised during the
  // computation; true when there was one. REQUIRES: the GIL.
  bool raise_pending();

 private:
  PyRef pending_;
  std::optional<InterruptScope> scope_;  // declared last: uninstalled first
};

}  // namespace morvend::py

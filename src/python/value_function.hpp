// The value oracle around the user's Python callable (single form).
//
// Node names are the explainer's prebuilt strs; every call builds a new
// list of the coalition's names in ascending NodeId order and converts the
// result to a float (complex numbers refused, never truncated to their real
// part). An exception becomes a ValueFunction error rendered as
// "<qualname>: <str(exc)>", except one that does not derive from Exception
// (KeyboardInterrupt, SystemExit): that one is kept and re-raised unchanged
// once the run is over.
//
// The GIL: other threads take it for each call, after a lock that keeps
// calls from interleaving even when the interpreter switches threads
// half-way through one. The run's own thread keeps
// it from one call to the next (taking and dropping it costs more than a
// cheap value function), gives it up every two switch intervals so that
// other Python threads run even when the value function runs no bytecode,
// and for good at pause() or at the end of the run. Every entry into Python
// goes through gil.hpp's guards, so a thread the interpreter ends at exit
// parks instead of unwinding through these frames.
//
//   PyValueFunction f(value_fn, names);           // GIL held; names: the strs
//   { GilRelease unlocked; LeaseEnd end(f); result = engine(state, f); }
//   if (f.restore_interrupt()) return nullptr;    // GIL held again
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "asv/value_oracle.hpp"
#include "graph/interrupt.hpp"
#include "graph/turn_lock.hpp"
#include "python/py_ref.hpp"

namespace morvend::py {

// render_exception: "<qualname>: <str(exc)>", or ": <exception str() failed>".
// REQUIRES: the GIL.
std::string render_exception(PyObject* exc);

// GilLease: the GIL kept by a run's own thread from one call to the next,
// given up once it has been kept for two switch intervals (a thread waiting
// for the GIL asks for it only after a full switch interval without a
// release; releasing more often would restart its wait every time and starve
// it), and for good at end(). Touched by the run's thread only.
class GilLease {
 public:
  // REQUIRES: the GIL.
  GilLease();
  GilLease(const GilLease&) = delete;
  GilLease& operator=(const GilLease&) = delete;

  // take: holds the GIL from now on, if not yet.
  void take();
  // end_if_old: gives it up when kept for longer than two switch intervals.
  void end_if_old();
  void end();

 private:
  std::optional<PyGILState_STATE> state_;
  std::chrono::steady_clock::time_point since_;
  std::chrono::nanoseconds yield_after_;
};

// Coalition lists built from the explainer's name strs, which outlive the
// run (the explainer is alive while its method runs) and never change.
// REQUIRES: the GIL for every member, the destructor included.
class CoalitionNames {
 public:
  explicit CoalitionNames(std::span<PyObject* const> names) : names_(names) {}
  ~CoalitionNames();
  CoalitionNames(const CoalitionNames&) = delete;
  CoalitionNames& operator=(const CoalitionNames&) = delete;

  // list: a new list of the members' names, ascending NodeId.
  PyObject* list(Coalition coalition) const;
  // list_for_call: the same, for one call whose argument is dropped
  // afterwards. A list of the same length that the previous such call left
  // with no other holder is refilled instead of made anew: the function
  // cannot tell, and a list it keeps is never touched again.
  PyObject* list_for_call(Coalition coalition);

 private:
  static constexpr std::size_t kSpareSizes = 65;  // lengths 0 .. 64
  std::span<PyObject* const> names_;
  // Every name in NodeId order, made on first use: a new list starts as a
  // slice of it (one call into the interpreter, however long the list), and
  // each item then costs one call where building it item by item costs two.
  mutable PyRef all_;
  PyObject* spare_[kSpareSizes] = {};  // owned; by length
};

// CallFailure: turns the current Python exception into a ValueFunction
// error, keeping an exception that is not an Exception for re-raising.
class CallFailure {
 public:
  // take: REQUIRES the GIL and an exception set; clears it.
  AsvError take();
  // restore_interrupt: re-raises a kept KeyboardInterrupt-like exception;
  // true when it did. REQUIRES: the GIL.
  bool restore_interrupt();

 private:
  std::mutex mutex_;  // worker threads may fail at once
  PyRef interrupt_;
};

// It is also an interrupt source on the run's thread that never interrupts:
// asked every poll interval while the engine works, it gives the GIL back
// when it has kept it for a while, so that a run whose values are all cached
// does not starve the other Python threads.
class PyValueFunction final : public ValueOracle, private InterruptSource {
 public:
  // REQUIRES: the GIL, on the run's thread; `fn` and `names` outlive the run.
  PyValueFunction(PyObject* fn, std::span<PyObject* const> names);

  [[nodiscard]] Result<double> value(Coalition coalition) override;
  [[nodiscard]] Result<void> value_each(std::span<const std::uint64_t> words, std::size_t count,
                                        std::span<double> out) override;
  void pause() override;
  // end_lease: drops the GIL kept between calls. REQUIRES: the run's thread.
  void end_lease();
  bool restore_interrupt() { return failure_.restore_interrupt(); }

 private:
  [[nodiscard]] Result<double> call(Coalition coalition);  // REQUIRES: the GIL
  bool leased_here() const;                                // calls on this thread keep the GIL
  bool interrupted() override;                             // yields an old lease

  PyObject* fn_;
  CoalitionNames names_;
  CallFailure failure_;
  PyInterpreterState* interpreter_;
  TurnLock call_lock_;  // one call at a time once other threads call in
  std::thread::id owner_;
  std::atomic<bool> lease_allowed_{true};
  GilLease lease_;
  unsigned calls_since_clock_ = 0;
  bool in_call_ = false;       // the owner is inside a leased call
  InterruptScope poll_scope_;  // last: uninstalled first
};

// LeaseEnd: ends the lease of either form on scope exit, before the GIL is
// taken back.
template <class Fn>
class LeaseEnd {
 public:
  explicit LeaseEnd(Fn& fn) : fn_(fn) {}
  ~LeaseEnd() { fn_.end_lease(); }
  LeaseEnd(const LeaseEnd&) = delete;
  LeaseEnd& operator=(const LeaseEnd&) = delete;

 private:
  Fn& fn_;
};

// PyBatchValueFunction: the batch form. One call per batch with a new list of
// coalitions; the result may be a list of floats or a float64 buffer (a
// numpy array), taken without per-item conversion, or any other sequence of
// numbers. A str is refused like a non-sequence.
//
// The run's thread keeps the GIL from one batch to the next like the single
// form, for the same reason: taking it anew for each batch, a few
// milliseconds apart, restarts the wait of every other thread that wants it,
// which then waits for as long as the batches come. The lease is given up
// every two switch intervals (checked after each batch and at each interrupt
// poll) and at the end of the run (LeaseEnd).
class PyBatchValueFunction final : public BatchValueOracle, private InterruptSource {
 public:
  // REQUIRES: the GIL, on the run's thread; `fn` and `names` outlive the run.
  PyBatchValueFunction(PyObject* fn, std::span<PyObject* const> names);

  [[nodiscard]] Result<std::vector<double>> values(std::span<const std::uint64_t> words,
                                                   std::size_t count) override;
  // end_lease: drops the GIL kept between calls. REQUIRES: the run's thread.
  void end_lease();
  bool restore_interrupt() { return failure_.restore_interrupt(); }

 private:
  [[nodiscard]] Result<std::vector<double>> call(std::span<const std::uint64_t> words,
                                                 std::size_t count);  // REQUIRES: the GIL
  bool interrupted() override;                                        // yields an old lease

  PyObject* fn_;
  CoalitionNames names_;
  CallFailure failure_;
  std::thread::id owner_;
  GilLease lease_;
  bool in_call_ = false;       // the owner is inside a leased call
  InterruptScope poll_scope_;  // last: uninstalled first
};

// to_double: the float conversion of a value-function result; false with an
// exception set when it does not convert. REQUIRES: the GIL.
bool to_double(PyObject* result, double* out);

}  // namespace morvend::py

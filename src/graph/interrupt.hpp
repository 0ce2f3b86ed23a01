// Stopping long computations on request.
//
// Every loop that can run for more than a few milliseconds calls
// check_interrupt() every few microseconds of its own work and returns its
// error when it fails. Whoever starts a computation decides what may stop it
// by installing an InterruptScope on its thread:
//   - a source, asked on that thread at most every kInterruptPollInterval
//     (the Python binding turns pending signals, Ctrl-C, into a stop);
//   - the stop flag of a pool run, on each thread that works for the run,
//     linked to the scope of the thread that started it, so that work done
//     for a run, runs nested in it included, stops when the run stops.
// Without a scope the check is one thread-local load and never fails, so
// C++ callers that want no interruption pay nothing.
//
//   struct Deadline : InterruptSource { bool interrupted() override { ... } } d;
//   InterruptScope scope(d);
//   Result<Dag> r = consistent_extension(g);   // AsvError::interrupted() once d says so
#pragma once

#include <atomic>
#include <chrono>
#include <thread>

#include "graph/asv_error.hpp"

namespace morvend {

// How often a source is asked. Well under the 0.2 s a user waits for Ctrl-C.
inline constexpr std::chrono::milliseconds kInterruptPollInterval{20};

// InterruptSource: decides whether the computations under it must stop.
class InterruptSource {
 public:
  virtual ~InterruptSource() = default;
  // interrupted: true once the computation must stop; called only on the
  // thread that installed the source.
  virtual bool interrupted() = 0;
};

// InterruptScope: what may stop the computations on this thread while it
// lives. Scopes nest; the innermost is current.
class InterruptScope {
 public:
  // A source on this thread, inside the scope current here.
  explicit InterruptScope(InterruptSource& source);
  // The stop flag of a pool run, inside `parent` (the scope of the thread
  // that started the run, or nullptr).
  // REQUIRES: `stop` and `parent` outlive this scope.
  InterruptScope(const std::atomic<bool>& stop, const InterruptScope* parent);
  ~InterruptScope();
  // Scopes are linked by address.
  InterruptScope(const InterruptScope&) = delete;
  InterruptScope& operator=(const InterruptScope&) = delete;

  // current: this thread's innermost scope, or nullptr.
  static const InterruptScope* current();

 private:
  friend bool interrupt_requested();
  friend bool stop_requested();

  InterruptSource* source_ = nullptr;
  const std::atomic<bool>* stop_ = nullptr;
  const InterruptScope* parent_;
  const InterruptScope* previous_;  // restored when this scope ends
  std::thread::id owner_;
  // Touched by owner_ only. Once a source has said stop, it is not asked again.
  mutable std::chrono::steady_clock::time_point next_ask_;
  mutable bool tripped_ = false;
};

// interrupt_requested: whether the computation on this thread must stop: a
// stop flag along the current scope's chain is set, or a source installed on
// this thread, when it is due to be asked, says so.
[[nodiscard]] bool interrupt_requested();

// stop_requested: whether a stop flag along the current scope's chain is set
// (no source is asked): the run this thread works for is stopping.
[[nodiscard]] bool stop_requested();

// check_interrupt: interrupt_requested() as a Result (AsvError::interrupted()).
[[nodiscard]] inline Result<void> check_interrupt() {
  if (InterruptScope::current() != nullptr && interrupt_requested()) {
    return std::unexpected(AsvError::interrupted());
  }
  return {};
}

}  // namespace morvend

// Lanes: one computation on the calling thread and the pool's threads at
// once, in a way that nests, stops on request and keeps the calling thread
// responsive.
//
// run_lanes(L, stop, lane) calls lane(0) on the calling thread and lane(k),
// k = 1 .. L-1, as tasks of the process-wide oneTBB pool; lanes take their
// work from counters they share and return when it runs out or `stop` is set.
// Lanes that have not started when the calling thread finishes its own are
// taken back, so the run never waits for a pool thread to become free.
//
// The calling thread never waits inside the pool's scheduler, where it could
// pick up unrelated tasks: a run nested in a value function would then take
// tasks of the run outside it and block on locks its own thread holds. It
// waits for the other lanes on a condition instead, asking
// interrupt_requested() every kInterruptPollInterval, and sets `stop` when
// asked to stop. Every lane runs under an InterruptScope of `stop`, linked to
// the calling thread's scope, so that runs nested in a lane stop with it. A
// lane that throws sets `stop`; the first exception is rethrown on the
// calling thread once every lane has ended.
//
//   std::atomic<bool> stop{false};
//   std::atomic<std::uint64_t> next{0};
//   run_lanes(lanes_for(pieces), stop, [&](std::size_t lane) {
//     for (std::uint64_t k; !stop && (k = next++) < pieces;) work(k);
//   });
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>

#include <oneapi/tbb/task_arena.h>
#include <oneapi/tbb/task_group.h>

#include "graph/interrupt.hpp"

namespace morvend::detail {

// lanes_for: as many lanes as the pool has threads (the calling thread's
// included), and no more than `pieces` of work.
std::size_t lanes_for(std::uint64_t pieces);

// LaneJoin: which helper lanes started, which are still running, and the
// first exception.
class LaneJoin {
 public:
  explicit LaneJoin(std::size_t lanes);

  // start: whether helper lane k may run (the calling thread has not taken
  // it back); counts it as running.
  bool start(std::size_t k);
  // finish: helper lane k has ended.
  void finish();
  // close: takes back every helper lane that has not started.
  void close();
  // wait: until no helper lane runs; sets `stop` when interrupt_requested().
  void wait(std::atomic<bool>& stop);
  void fail(std::exception_ptr error);
  void rethrow_failure();

 private:
  std::mutex mutex_;
  std::condition_variable finished_;
  std::size_t lanes_;
  std::unique_ptr<bool[]> taken_;  // per lane: started, or taken back
  std::size_t running_ = 0;
  std::exception_ptr error_;
};

template <class Lane>
void run_lanes(std::size_t lanes, std::atomic<bool>& stop, Lane&& lane) {
  LaneJoin join(lanes);
  const InterruptScope* caller = InterruptScope::current();
  auto run = [&](std::size_t k) {
    try {
      InterruptScope scope(stop, caller);
      lane(k);
    } catch (...) {
      // A forced unwind (the thread is being ended; foreign to C++, it has no
      // exception object) must go on; anything else is the run's to rethrow.
      if (!std::current_exception()) throw;
      join.fail(std::current_exception());
      stop.store(true, std::memory_order_relaxed);
    }
  };
  if (lanes > 1) {
    tbb::task_group group;
    tbb::this_task_arena::isolate([&] {
      for (std::size_t k = 1; k < lanes; ++k) {
        group.run([&join, &run, k] {
          if (!join.start(k)) return;
          run(k);
          join.finish();
        });
      }
      run(0);
      join.close();
      join.wait(stop);
      group.wait();  // only lanes that were taken back are left: they return at once
    });
  } else {
    run(0);
  }
  join.rethrow_failure();
}

}  // namespace morvend::detail

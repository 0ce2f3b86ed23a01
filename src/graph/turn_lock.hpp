// TurnLock: a mutex that hands itself to waiting threads in the order they
// came, and whose waiters stop waiting when interrupt_requested().
//
// std::mutex lets a thread that unlocks and locks again at once keep the lock
// for as long as it likes: a pool lane calling a value function in a loop can
// starve the calling thread, which then neither computes nor notices Ctrl-C.
// Here a thread that comes back queues behind those already waiting, and a
// waiter asks interrupt_requested() every kInterruptPollInterval.
//
//   if (!lock.lock()) return std::unexpected(AsvError::interrupted());
//   ... one call ...
//   lock.unlock();
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>

namespace morvend {

class TurnLock {
 public:
  TurnLock() = default;
  TurnLock(const TurnLock&) = delete;
  TurnLock& operator=(const TurnLock&) = delete;

  // lock: true once this thread holds the lock; false, without it, when
  // interrupt_requested() said stop first.
  [[nodiscard]] bool lock();
  // unlock: REQUIRES: this thread holds the lock.
  void unlock();

 private:
  std::mutex mutex_;
  std::condition_variable turn_;
  std::deque<std::uint64_t> queue_;  // tickets of the waiting threads, oldest first
  std::uint64_t next_ticket_ = 0;
  bool held_ = false;
};

}  // namespace morvend

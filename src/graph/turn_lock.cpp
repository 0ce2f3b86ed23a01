#include "graph/turn_lock.hpp"

#include <algorithm>

#include "graph/interrupt.hpp"

namespace morvend {

bool TurnLock::lock() {
  std::unique_lock guard(mutex_);
  if (!held_ && queue_.empty()) return held_ = true;
  const std::uint64_t ticket = next_ticket_++;
  queue_.push_back(ticket);
  const auto my_turn = [&] { return !held_ && queue_.front() == ticket; };
  while (!turn_.wait_for(guard, kInterruptPollInterval, my_turn)) {
    // Asked without the lock's own mutex: a source may take the GIL.
    guard.unlock();
    const bool stop = interrupt_requested();
    guard.lock();
    if (stop && !my_turn()) {
      queue_.erase(std::ranges::find(queue_, ticket));
      guard.unlock();
      turn_.notify_all();  // the next in line may be free to go
      return false;
    }
  }
  queue_.pop_front();
  return held_ = true;
}

void TurnLock::unlock() {
  {
    std::lock_guard guard(mutex_);
    held_ = false;
  }
  turn_.notify_all();
}

}  // namespace morvend

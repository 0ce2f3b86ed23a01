#include "estimation/lanes.hpp"

#include <algorithm>

namespace morvend::detail {

std::size_t lanes_for(std::uint64_t pieces) {
  const auto threads = static_cast<std::uint64_t>(tbb::this_task_arena::max_concurrency());
  return static_cast<std::size_t>(std::max<std::uint64_t>(1, std::min(threads, pieces)));
}

LaneJoin::LaneJoin(std::size_t lanes) : lanes_(lanes), taken_(new bool[lanes]()) {}

bool LaneJoin::start(std::size_t k) {
  std::lock_guard lock(mutex_);
  if (taken_[k]) return false;
  taken_[k] = true;
  ++running_;
  return true;
}

void LaneJoin::finish() {
  {
    std::lock_guard lock(mutex_);
    --running_;
  }
  finished_.notify_all();
}

void LaneJoin::close() {
  std::lock_guard lock(mutex_);
  // Lane 0 is the calling thread's; marking it again is harmless.
  for (std::size_t k = 0; k < lanes_; ++k) taken_[k] = true;
}

void LaneJoin::wait(std::atomic<bool>& stop) {
  std::unique_lock lock(mutex_);
  while (running_ > 0) {
    if (finished_.wait_for(lock, kInterruptPollInterval, [this] { return running_ == 0; })) break;
    lock.unlock();
    if (interrupt_requested()) stop.store(true, std::memory_order_relaxed);
    lock.lock();
  }
}

void LaneJoin::fail(std::exception_ptr error) {
  std::lock_guard lock(mutex_);
  if (!error_) error_ = std::move(error);
}

void LaneJoin::rethrow_failure() {
  if (error_) std::rethrow_exception(error_);
}

}  // namespace morvend::detail

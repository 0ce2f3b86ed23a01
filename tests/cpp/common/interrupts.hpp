// Test-only: an interrupt source that says stop the first time it is asked,
// and remembers when, so a test can measure how long a computation went on
// after being told to stop.
#pragma once

#include <chrono>
#include <optional>

#include "graph/interrupt.hpp"

namespace morvend::testing {

class TripSource final : public InterruptSource {
 public:
  using Clock = std::chrono::steady_clock;

  bool interrupted() override {
    ++asks_;
    if (!tripped_at_) tripped_at_ = Clock::now();
    return true;
  }
  int asks() const { return asks_; }
  // seconds_since_trip: from the first ask to now; nullopt when never asked.
  std::optional<double> seconds_since_trip() const {
    if (!tripped_at_) return std::nullopt;
    return std::chrono::duration<double>(Clock::now() - *tripped_at_).count();
  }

 private:
  int asks_ = 0;
  std::optional<Clock::time_point> tripped_at_;
};

}  // namespace morvend::testing

// InterruptMeter: check_interrupt() for loops whose steps are too small to
// check one by one.
//
// A check under a source reads the clock, which costs as much as a few
// adjacency entries; a loop over small steps counts its work instead and
// checks once per kInterruptMeterChunk units. A unit is about one adjacency
// entry read or one hash lookup, so a chunk is well under a millisecond of
// work even when every unit misses the cache, and the clock read is lost in it.
//
//   InterruptMeter meter;
//   for (NodeId v : order) {
//     if (Result<void> r = meter.spend(1 + g.children(v).size()); !r) return r;
//     for (NodeId c : g.children(v)) ...
//   }
#pragma once

#include <cstddef>

#include "graph/interrupt.hpp"

namespace morvend {

inline constexpr std::size_t kInterruptMeterChunk = 8192;

class InterruptMeter {
 public:
  // spend: counts `units` of work done or about to be done; check_interrupt()
  // once a chunk is used up, else nothing.
  [[nodiscard]] Result<void> spend(std::size_t units) {
    if (units < left_) {
      left_ -= units;
      return {};
    }
    left_ = kInterruptMeterChunk;
    return check_interrupt();
  }

 private:
  std::size_t left_ = kInterruptMeterChunk;
};

}  // namespace morvend

// The walkers of graphs of at most 64 nodes: coalitions are one-word masks,
// cached in a ValueCache per run or pool piece.
#pragma once

#include "approx/estimators.hpp"

namespace morvend::detail {

// MaskWalker: the single form, one oracle call per new coalition.
class MaskWalker {
 public:
  explicit MaskWalker(ValueOracle& oracle) : lookup_(oracle) {}

  Result<void> prepare(const OrderBatch&) { return {}; }
  template <class Sink>
  Result<void> walk(std::span<const NodeId> order, Sink&& sink) {
    return prefix_contributions(order, lookup_, sink);
  }

 private:
  ValueLookup lookup_;
};

// MaskBatchWalker: the batch form, one oracle call per batch.
class MaskBatchWalker {
 public:
  explicit MaskBatchWalker(BatchValueOracle& oracle) : oracle_(oracle) {}

  Result<void> prepare(const OrderBatch& batch) { return evaluate_batch(batch, cache_, oracle_); }
  template <class Sink>
  Result<void> walk(std::span<const NodeId> order, Sink&& sink) {
    auto cached = [this](std::uint64_t mask) -> Result<double> {
      auto it = cache_.find(mask);
      if (it == cache_.end()) throw InternalFault("batch coalition missing from the cache");
      return it->second;
    };
    return prefix_contributions(order, cached, sink);
  }

 private:
  BatchValueOracle& oracle_;
  ValueCache cache_;
};

}  // namespace morvend::detail

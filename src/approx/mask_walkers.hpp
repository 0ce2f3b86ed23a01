// The walkers of graphs of at most 64 nodes: coalitions are one-word masks,
// cached in a ValueCache per run or pool piece.
#pragma once

#include "approx/estimators.hpp"

namespace morvend::detail {

// MaskWalker: the single form, one oracle call per new coalition. The new
// coalitions of an order are asked for together (value_each), in prefix
// order, so that a pool thread takes the oracle's locks once per order.
class MaskWalker {
 public:
  explicit MaskWalker(ValueOracle& oracle) : oracle_(oracle) {}

  Result<void> prepare(const OrderBatch&) { return {}; }
  template <class Sink>
  Result<void> walk(std::span<const NodeId> order, Sink&& sink) {
    missing_.clear();
    std::uint64_t mask = 0;
    if (!cache_.contains(mask)) missing_.push_back(mask);
    for (NodeId i : order) {
      mask |= std::uint64_t{1} << i;
      if (!cache_.contains(mask)) missing_.push_back(mask);
    }
    if (!missing_.empty()) {
      values_.resize(missing_.size());
      Result<void> asked = oracle_.value_each(missing_, missing_.size(), values_);
      if (!asked) return asked;
      for (std::size_t k = 0; k < missing_.size(); ++k) cache_.emplace(missing_[k], values_[k]);
    }
    auto cached = [this](std::uint64_t m) -> Result<double> { return cache_.find(m)->second; };
    return prefix_contributions(order, cached, sink);
  }

 private:
  ValueOracle& oracle_;
  ValueCache cache_;
  std::vector<std::uint64_t> missing_;
  std::vector<double> values_;
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

// The walkers of multi-word coalitions: a bounded value cache per run or pool
// piece, and for the batch form a batch-local map that holds every coalition
// of the batch even when the cache is full.
#pragma once

#include "approx/estimators.hpp"
#include "coalition/coalition.hpp"

namespace morvend::detail {

// large_prefix_contributions: prefix_contributions over a word buffer, which
// is cleared first.
template <class Lookup, class Sink>
Result<void> large_prefix_contributions(std::span<const NodeId> order, std::span<std::uint64_t> set,
                                        Lookup&& value, Sink&& sink) {
  std::fill(set.begin(), set.end(), 0);
  Result<double> prev = value(set);
  if (!prev) return std::unexpected(std::move(prev.error()));
  for (NodeId i : order) {
    add_member(set, i);
    Result<double> cur = value(set);
    if (!cur) return std::unexpected(std::move(cur.error()));
    sink(i, *cur - *prev);
    prev = cur;
  }
  return {};
}

// LargeValueCache: stores while it holds fewer than kLargeCacheCapacity sets.
class LargeValueCache {
 public:
  explicit LargeValueCache(std::size_t words) : map_(words) {}
  const double* find(Coalition set) const { return map_.find(set); }
  void offer(Coalition set, double value);

 private:
  CoalitionMap map_;
};

// LargeWalker: the single form. The new coalitions of an order are asked for
// together (value_each), in prefix order, so that a pool thread takes the
// oracle's locks once per order.
class LargeWalker {
 public:
  LargeWalker(ValueOracle& oracle, std::size_t n)
      : oracle_(oracle), words_(words_for(n)), cache_(words_for(n)) {}

  Result<void> prepare(const OrderBatch&) { return {}; }
  template <class Sink>
  Result<void> walk(std::span<const NodeId> order, Sink&& sink) {
    if (Result<void> r = evaluate_prefixes(order); !r) return r;
    for (std::size_t k = 0; k < order.size(); ++k) {
      sink(order[k], prefix_values_[k + 1] - prefix_values_[k]);
    }
    return {};
  }

 private:
  // evaluate_prefixes: prefix_values_[k] = v(first k nodes of the order).
  Result<void> evaluate_prefixes(std::span<const NodeId> order);

  ValueOracle& oracle_;
  std::size_t words_;
  LargeValueCache cache_;
  std::vector<std::uint64_t> prefixes_, missing_;
  std::vector<std::size_t> missing_at_;
  std::vector<double> prefix_values_, values_;
};

// LargeBatchWalker: the batch form; prepare() asks for the batch's missing
// coalitions in lexicographic order, kLargeBatchChunk per call.
class LargeBatchWalker {
 public:
  LargeBatchWalker(BatchValueOracle& oracle, std::size_t n);

  Result<void> prepare(const OrderBatch& batch);
  template <class Sink>
  Result<void> walk(std::span<const NodeId> order, Sink&& sink) {
    auto cached = [this](Coalition set) -> Result<double> {
      const double* v = batch_values_.find(set);
      if (v == nullptr) throw InternalFault("batch coalition missing from the batch map");
      return *v;
    };
    return large_prefix_contributions(order, set_, cached, sink);
  }

 private:
  BatchValueOracle& oracle_;
  std::vector<std::uint64_t> set_;
  LargeValueCache cache_;
  CoalitionMap batch_values_;
  CoalitionList coalitions_;
  CoalitionList missing_;
};

}  // namespace morvend::detail

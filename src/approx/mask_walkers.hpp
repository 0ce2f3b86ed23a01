// The walkers of graphs of at most 64 nodes: coalitions are one-word masks,
// cached per run (serial runs) or in the run's SharedValueCache (pool runs).
#pragma once

#include <type_traits>

#include "estimation/estimators.hpp"
#include "estimation/shared_cache.hpp"

namespace morvend::detail {

// PrivateMaskCache: a serial run's cache, with the shared cache's interface;
// nobody else claims, so nothing is ever pending.
class PrivateMaskCache {
 public:
  Found find_or_claim(std::uint64_t mask, double* value) {
    auto it = map_.find(mask);
    if (it == map_.end()) return Found::kClaimed;
    *value = it->second;
    return Found::kValue;
  }
  void publish(std::uint64_t mask, double value) { map_.emplace(mask, value); }
  void abandon(std::uint64_t) {}
  Found wait(std::uint64_t, double*) { throw InternalFault("private cache has nothing pending"); }

 private:
  ValueCache map_;
};

using SharedMaskCache = SharedValueCache<MaskKeys>;

// MaskWalker: the single form, one oracle call per new coalition. The new
// coalitions of an order are asked for together (value_each), in prefix
// order, so that a pool thread takes the oracle's locks once per order; then
// the ones other lanes are asking for are waited for. With a shared cache the
// walker also keeps the values it has seen, so that coalitions met again cost
// no lock.
template <class Cache>
class MaskWalker {
 public:
  explicit MaskWalker(ValueOracle& oracle, Cache& cache) : oracle_(oracle), cache_(cache) {}

  [[nodiscard]] Result<void> prepare(const OrderBatch&) { return {}; }
  template <class Sink>
  [[nodiscard]] Result<void> walk(std::span<const NodeId> order, Sink&& sink) {
    const std::size_t m = order.size() + 1;
    masks_.resize(m);
    values_.resize(m);
    mine_.clear();
    theirs_.clear();
    std::uint64_t mask = 0;
    for (std::size_t k = 0; k < m; ++k) {
      if (k > 0) mask |= std::uint64_t{1} << order[k - 1];
      masks_[k] = mask;
      if constexpr (kShared) {
        if (auto it = seen_.find(mask); it != seen_.end()) {
          values_[k] = it->second;
          continue;
        }
      }
      switch (cache_.find_or_claim(mask, &values_[k])) {
        case Found::kValue:
          remember(mask, values_[k]);
          break;
        case Found::kClaimed:
        case Found::kFull:  // one-word caches are never full
          mine_.push_back(k);
          break;
        case Found::kPending:
          theirs_.push_back(k);
          break;
      }
    }
    if (Result<void> r = ask_mine(); !r) return r;
    for (std::size_t k : theirs_) {
      if (Result<void> r = wait_for(k); !r) return r;
    }
    for (std::size_t k = 0; k + 1 < m; ++k) sink(order[k], values_[k + 1] - values_[k]);
    return {};
  }

 private:
  [[nodiscard]] Result<void> ask_mine() {
    if (mine_.empty()) return {};
    asked_.resize(mine_.size());
    answers_.resize(mine_.size());
    for (std::size_t j = 0; j < mine_.size(); ++j) asked_[j] = masks_[mine_[j]];
    Result<void> r = oracle_.value_each(asked_, asked_.size(), answers_);
    for (std::size_t j = 0; j < mine_.size(); ++j) {
      if (!r) {
        cache_.abandon(asked_[j]);
        continue;
      }
      values_[mine_[j]] = answers_[j];
      cache_.publish(asked_[j], answers_[j]);
      remember(asked_[j], answers_[j]);
    }
    return r;
  }

  static constexpr bool kShared = !std::is_same_v<Cache, PrivateMaskCache>;

  void remember(std::uint64_t mask, double value) {
    if constexpr (kShared) seen_.emplace(mask, value);
  }

  [[nodiscard]] Result<void> wait_for(std::size_t k) {
    switch (cache_.wait(masks_[k], &values_[k])) {
      case Found::kValue:
        remember(masks_[k], values_[k]);
        return {};
      case Found::kClaimed:
      case Found::kFull: {
        // Its owner gave up on it (its run is failing): ask for it here.
        Result<double> v = oracle_.value(Coalition(&masks_[k], 1));
        if (!v) {
          cache_.abandon(masks_[k]);
          return std::unexpected(std::move(v.error()));
        }
        values_[k] = *v;
        cache_.publish(masks_[k], *v);
        remember(masks_[k], *v);
        return {};
      }
      case Found::kPending:
        break;
    }
    return std::unexpected(AsvError::interrupted());
  }

  ValueOracle& oracle_;
  Cache& cache_;
  ValueCache seen_;                   // shared caches only: the values this walker has met
  std::vector<std::uint64_t> masks_;  // prefix k = the first k nodes
  std::vector<double> values_;        // of each prefix
  std::vector<std::size_t> mine_, theirs_;
  std::vector<std::uint64_t> asked_;
  std::vector<double> answers_;
};

// SerialMaskWalker: a serial run's walker, with its own cache.
class SerialMaskWalker : private OwnCache<PrivateMaskCache>, public MaskWalker<PrivateMaskCache> {
 public:
  explicit SerialMaskWalker(ValueOracle& oracle) : MaskWalker(oracle, own_cache) {}
};

// MaskBatchWalker: the batch form, one oracle call per batch.
class MaskBatchWalker {
 public:
  explicit MaskBatchWalker(BatchValueOracle& oracle) : oracle_(oracle) {}

  [[nodiscard]] Result<void> prepare(const OrderBatch& batch) {
    return evaluate_batch(batch, cache_, oracle_);
  }
  template <class Sink>
  [[nodiscard]] Result<void> walk(std::span<const NodeId> order, Sink&& sink) {
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

// The walkers of multi-word coalitions: a bounded value cache of its own in
// a serial run, or the run's SharedValueCache in the pool modes; for the
// batch form, also a batch-local map that holds every coalition of the batch
// even when the cache is full.
//
// The single form builds the prefixes of an order in one word buffer and
// keeps only their n + 1 values; the coalitions it must ask for (or wait
// for) are copied out and dealt with in flushes of at most kFlushCoalitions
// coalitions and kFlushWords words, in prefix order. Its memory is linear in
// n, however wide the graph; and in a pool run, a coalition another lane
// waits for is published after at most kFlushCoalitions calls.
#pragma once

#include "coalition/coalition.hpp"
#include "estimation/estimators.hpp"
#include "estimation/shared_cache.hpp"

namespace morvend::detail {

// The most coalitions, and coalition words, a single-form walk holds before
// it asks.
inline constexpr std::size_t kFlushCoalitions = 64;
inline constexpr std::size_t kFlushWords = std::size_t{1} << 16;

// large_cache_capacity: how many coalitions of `words` words a large value
// cache holds (the entry cap, lowered on very wide graphs by the byte cap).
std::size_t large_cache_capacity(std::size_t words);

// large_prefix_contributions: prefix_contributions over a word buffer, which
// is cleared first.
template <class Lookup, class Sink>
[[nodiscard]] Result<void> large_prefix_contributions(std::span<const NodeId> order,
                                                      std::span<std::uint64_t> set, Lookup&& value,
                                                      Sink&& sink) {
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

// LargeValueCache: a run's own cache; stores while it holds fewer than its
// capacity. Also offers the shared cache's interface (nothing is ever
// pending, a claim only means "ask, then offer").
class LargeValueCache {
 public:
  explicit LargeValueCache(std::size_t words)
      : map_(words), capacity_(large_cache_capacity(words)) {}
  const double* find(Coalition set) const { return map_.find(set); }
  void offer(Coalition set, double value) {
    if (map_.size() < capacity_) map_.insert(set, value);
  }

  Found find_or_claim(Coalition set, double* value) {
    const double* v = find(set);
    if (v == nullptr) return Found::kClaimed;
    *value = *v;
    return Found::kValue;
  }
  void publish(Coalition set, double value) { offer(set, value); }
  void abandon(Coalition) {}
  Found wait(Coalition, double*) { throw InternalFault("private cache has nothing pending"); }

 private:
  CoalitionMap map_;
  std::size_t capacity_;
};

using SharedLargeCache = SharedValueCache<WordKeys>;

// LargeWalker: the single form.
template <class Cache>
class LargeWalker {
 public:
  LargeWalker(ValueOracle& oracle, Cache& cache, std::size_t n)
      : oracle_(oracle),
        cache_(cache),
        words_(words_for(n)),
        set_(words_),
        mine_(words_),
        theirs_(words_) {}

  [[nodiscard]] Result<void> prepare(const OrderBatch&) { return {}; }
  template <class Sink>
  [[nodiscard]] Result<void> walk(std::span<const NodeId> order, Sink&& sink) {
    const std::size_t m = order.size() + 1;
    values_.resize(m);
    clear_lists();
    std::fill(set_.begin(), set_.end(), 0);
    for (std::size_t k = 0; k < m; ++k) {
      if (k > 0) add_member(set_, order[k - 1]);
      const Found found = cache_.find_or_claim(set_, &values_[k]);
      if (found == Found::kPending) {
        theirs_.append(set_);
        theirs_at_.push_back(k);
      } else if (found != Found::kValue) {
        mine_.append(set_);
        mine_at_.push_back(k);
        claimed_.push_back(found == Found::kClaimed);
      }
      const std::size_t held = mine_at_.size() + theirs_at_.size();
      if (held >= kFlushCoalitions || held * words_ >= kFlushWords) {
        if (Result<void> r = flush(); !r) return r;
      }
    }
    if (Result<void> r = flush(); !r) return r;
    for (std::size_t k = 0; k + 1 < m; ++k) sink(order[k], values_[k + 1] - values_[k]);
    return {};
  }

 private:
  void clear_lists() {
    mine_.clear();
    mine_at_.clear();
    claimed_.clear();
    theirs_.clear();
    theirs_at_.clear();
  }

  // flush: asks for this lane's coalitions (one value_each, prefix order),
  // publishes them, then waits for those other lanes are asking for.
  [[nodiscard]] Result<void> flush() {
    const std::size_t count = mine_at_.size();
    Result<void> asked;
    if (count > 0) {
      answers_.resize(count);
      asked = oracle_.value_each(mine_.words(0, count), count, answers_);
      for (std::size_t j = 0; j < count; ++j) {
        if (!claimed_[j]) {
          if (asked) values_[mine_at_[j]] = answers_[j];
        } else if (asked) {
          values_[mine_at_[j]] = answers_[j];
          cache_.publish(mine_[j], answers_[j]);
        } else {
          cache_.abandon(mine_[j]);
        }
      }
    }
    for (std::size_t j = 0; asked && j < theirs_at_.size(); ++j) asked = wait_for(j);
    clear_lists();
    return asked;
  }

  [[nodiscard]] Result<void> wait_for(std::size_t j) {
    double& value = values_[theirs_at_[j]];
    const Coalition set = theirs_[j];
    const Found found = cache_.wait(set, &value);
    if (found == Found::kValue) return {};
    if (found == Found::kPending) return std::unexpected(AsvError::interrupted());
    // Its owner gave up on it (its run is failing): ask for it here.
    Result<double> v = oracle_.value(set);
    if (!v) {
      if (found == Found::kClaimed) cache_.abandon(set);
      return std::unexpected(std::move(v.error()));
    }
    value = *v;
    if (found == Found::kClaimed) cache_.publish(set, *v);
    return {};
  }

  ValueOracle& oracle_;
  Cache& cache_;
  std::size_t words_;
  std::vector<std::uint64_t> set_;                // the current prefix
  std::vector<double> values_;                    // of each prefix
  CoalitionList mine_, theirs_;                   // to ask for, to wait for
  std::vector<std::size_t> mine_at_, theirs_at_;  // their prefix lengths
  std::vector<char> claimed_;                     // per entry of mine_: publish it
  std::vector<double> answers_;
};

// SerialLargeWalker: a serial run's walker, with its own cache.
class SerialLargeWalker : private OwnCache<LargeValueCache>, public LargeWalker<LargeValueCache> {
 public:
  SerialLargeWalker(ValueOracle& oracle, std::size_t n)
      : OwnCache<LargeValueCache>(words_for(n)), LargeWalker(oracle, own_cache, n) {}
};

// LargeBatchWalker: the batch form; prepare() asks for the batch's missing
// coalitions in lexicographic order, kLargeBatchChunk per call.
class LargeBatchWalker {
 public:
  LargeBatchWalker(BatchValueOracle& oracle, std::size_t n);

  [[nodiscard]] Result<void> prepare(const OrderBatch& batch);
  template <class Sink>
  [[nodiscard]] Result<void> walk(std::span<const NodeId> order, Sink&& sink) {
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

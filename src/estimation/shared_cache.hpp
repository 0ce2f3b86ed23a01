// SharedValueCache: the value cache of one pool run, shared by its lanes.
//
// A lane that misses a coalition claims it and asks the oracle; a lane that
// needs a coalition another lane has claimed waits for that value instead of
// asking again, so a coalition costs one value-function call per run, however
// many lanes meet it (the run's values do not depend on which lane asked).
// Lanes publish or abandon all their own claims before they wait for anyone
// else's, so waits never form a cycle; a wait also ends when
// interrupt_requested() (every lane's scope holds its run's stop flag). The
// cache holds at most `capacity` coalitions, claims included; beyond that
// coalitions are asked for each time they are met, as in a serial run.
//
//   switch (cache.find_or_claim(mask, &v)) {
//     case Found::kValue:   ... use v
//     case Found::kClaimed: ask, then cache.publish(mask, value) or cache.abandon(mask)
//     case Found::kFull:    ask, keep the value to yourself
//     case Found::kPending: later: cache.wait(mask, &v)
//   }
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <vector>

#include <boost/unordered/unordered_flat_map.hpp>

#include "asv/value_oracle.hpp"
#include "coalition/coalition.hpp"
#include "graph/interrupt.hpp"

namespace morvend::detail {

// What a look-up in a value cache found.
enum class Found {
  kValue,    // the value is known
  kClaimed,  // unknown, and now the caller's to ask for and publish or abandon
  kFull,     // unknown, and the cache has no room for it: ask, keep it
  kPending,  // another lane is asking for it: wait()
};

// Key traits: one-word coalitions. A probe is the key itself.
struct MaskKeys {
  using View = std::uint64_t;
  using Key = std::uint64_t;
  using Probe = std::uint64_t;
  using Hash = boost::hash<std::uint64_t>;
  using Equal = std::equal_to<>;
  static std::uint64_t mix(View v) { return v * 0x9E3779B97F4A7C15ULL; }
  static Probe probe(View v, std::uint64_t) { return v; }
  static Key key(View v) { return v; }
};

// Key traits: coalitions of several words. A probe carries the hash already
// computed to pick the shard, so that a look-up hashes the words once.
struct WordKeys {
  using View = Coalition;
  using Key = std::vector<std::uint64_t>;
  struct Probe {
    Coalition set;
    std::uint64_t hash;
  };
  static std::uint64_t mix(View set) { return coalition_hash(set) * 0x9E3779B97F4A7C15ULL; }
  struct Hash {
    using is_transparent = void;
    std::size_t operator()(const Probe& p) const { return static_cast<std::size_t>(p.hash); }
    std::size_t operator()(const Key& k) const { return static_cast<std::size_t>(mix(k)); }
  };
  struct Equal {
    using is_transparent = void;
    bool operator()(const Probe& a, const Key& b) const { return std::ranges::equal(a.set, b); }
    bool operator()(const Key& a, const Probe& b) const { return std::ranges::equal(a, b.set); }
    bool operator()(const Key& a, const Key& b) const { return a == b; }
  };
  static Probe probe(View v, std::uint64_t hash) { return {v, hash}; }
  static Key key(View v) { return Key(v.begin(), v.end()); }
};

template <class Keys>
class SharedValueCache {
 public:
  using View = typename Keys::View;

  explicit SharedValueCache(std::size_t capacity = SIZE_MAX) : capacity_(capacity) {}
  // Lanes hold references to it for the whole run.
  SharedValueCache(const SharedValueCache&) = delete;
  SharedValueCache& operator=(const SharedValueCache&) = delete;

  Found find_or_claim(View key, double* value) {
    const std::uint64_t hash = Keys::mix(key);
    Shard& shard = shards_[hash >> 58];
    std::lock_guard lock(shard.mutex);
    if (auto it = shard.map.find(Keys::probe(key, hash)); it != shard.map.end()) {
      if (!it->second.ready) return Found::kPending;
      *value = it->second.value;
      return Found::kValue;
    }
    if (capacity_ != SIZE_MAX) {  // unbounded caches skip the shared counter
      if (size_.load(std::memory_order_relaxed) >= capacity_) return Found::kFull;
      size_.fetch_add(1, std::memory_order_relaxed);
    }
    shard.map.emplace(Keys::key(key), Entry{0.0, false});
    return Found::kClaimed;
  }

  // publish: the value of a coalition this lane claimed.
  void publish(View key, double value) {
    {
      const std::uint64_t hash = Keys::mix(key);
      Shard& shard = shards_[hash >> 58];
      std::lock_guard lock(shard.mutex);
      shard.map.find(Keys::probe(key, hash))->second = Entry{value, true};
    }
    wake();
  }

  // abandon: gives up a claim without a value (the oracle failed).
  void abandon(View key) {
    {
      const std::uint64_t hash = Keys::mix(key);
      Shard& shard = shards_[hash >> 58];
      std::lock_guard lock(shard.mutex);
      shard.map.erase(shard.map.find(Keys::probe(key, hash)));
      if (capacity_ != SIZE_MAX) size_.fetch_sub(1, std::memory_order_relaxed);
    }
    wake();
  }

  // wait: for a coalition another lane claimed. kValue once published;
  // kClaimed or kFull as find_or_claim when the claim was abandoned; kPending
  // when interrupted first.
  Found wait(View key, double* value) {
    for (;;) {
      if (interrupt_requested()) return Found::kPending;
      // Announced before the look: a publisher either sees this waiter and
      // moves the generation, or published before the look.
      waiters_.fetch_add(1);
      const std::uint64_t seen = generation_.load();
      const Found found = find_or_claim(key, value);
      if (found == Found::kPending) {
        std::unique_lock lock(wait_mutex_);
        woken_.wait_for(lock, kInterruptPollInterval, [&] { return generation_.load() != seen; });
      }
      waiters_.fetch_sub(1);
      if (found != Found::kPending) return found;
    }
  }

 private:
  struct Entry {
    double value;
    bool ready;
  };
  struct Shard {
    std::mutex mutex;
    boost::unordered_flat_map<typename Keys::Key, Entry, typename Keys::Hash, typename Keys::Equal>
        map;
  };
  static constexpr std::size_t kShards = 64;

  // wake: waiters look again. Publishing is frequent and waiting rare, so
  // nothing shared is written unless someone waits (see wait()).
  void wake() {
    if (waiters_.load() == 0) return;
    generation_.fetch_add(1);
    {
      std::lock_guard lock(wait_mutex_);
    }
    woken_.notify_all();
  }

  std::size_t capacity_;
  std::atomic<std::size_t> size_{0};
  std::array<Shard, kShards> shards_;
  std::mutex wait_mutex_;
  std::condition_variable woken_;
  std::atomic<std::uint64_t> generation_{0};
  std::atomic<std::size_t> waiters_{0};
};

// OwnCache: holds a walker's own cache; a base of the walker so that it is
// built before the walker that refers to it.
template <class Cache>
struct OwnCache {
  template <class... Args>
  explicit OwnCache(Args&&... args) : own_cache(std::forward<Args>(args)...) {}
  Cache own_cache;
};

}  // namespace morvend::detail

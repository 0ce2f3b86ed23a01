// The random generator and the pieces every sampling estimator shares: random
// linear extensions (importance proposal and exactly uniform), the prefix walk
// that turns an order into marginal contributions, and batch evaluation.
//
// Callers rely on the draw sequence: a SampleRng keyed from a seed yields the
// same words on every run and processor, and sample_order /
// sample_uniform_order consume them in a fixed way, so seeded estimators draw
// the same orders to the bit. A draw costs O(n + edges) (proposal) or O(n^2)
// memo look-ups (uniform) and allocates nothing.
//
//   SampleRng rng = rng_from_seed(7);
//   SamplerScratch scratch(dag.n_nodes());
//   double logq = sample_order(dag, in_degrees(dag), scratch, rng);  // scratch.order
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "asv/completion_count.hpp"
#include "asv/ideal_lattice.hpp"
#include "asv/value_oracle.hpp"
#include "graph/dag.hpp"

namespace morvend {

// SampleRng: ChaCha12 as a stream of 32-bit words. Four blocks per refill (64
// words), 64-bit block counter from 0, stream 0.
class SampleRng {
 public:
  explicit SampleRng(const std::array<std::uint32_t, 8>& key) : key_(key) {}

  std::uint32_t next_word32() {
    if (pos_ == kBufferWords) refill();
    return buffer_[pos_++];
  }
  // next_word64: two consecutive words, the first as the low half; the pair
  // may straddle a refill.
  std::uint64_t next_word64() {
    const std::uint64_t lo = next_word32();
    return lo | (std::uint64_t{next_word32()} << 32);
  }
  // blocks: the number of ChaCha blocks produced so far.
  std::uint64_t blocks() const { return counter_; }

 private:
  static constexpr std::size_t kBufferWords = 64;
  void refill();

  std::array<std::uint32_t, 8> key_;
  std::uint64_t counter_ = 0;
  std::array<std::uint32_t, kBufferWords> buffer_{};
  std::size_t pos_ = kBufferWords;
};

// rng_from_seed: the key is eight PCG32 outputs of a state starting at seed.
SampleRng rng_from_seed(std::uint64_t seed);

// rng_from_entropy: keyed from this thread's generator, which takes a fresh
// operating-system key every 1024 blocks.
// NOTE: throws InternalFault when the operating system's source fails.
SampleRng rng_from_entropy();

// worker_seed: the seed of worker w of a seeded parallel run, SplitMix64 of
// (seed + w) * golden ratio; it depends on w only, never on other workers.
std::uint64_t worker_seed(std::uint64_t seed, std::uint64_t w);

// draw_below: uniform in [0, m) by a widening multiply with one correction
// word; 32-bit words while m < 2^32, 64-bit words beyond.
// REQUIRES: m >= 1. Always consumes a word, even for m = 1.
std::uint64_t draw_below_wide(SampleRng& rng, std::uint64_t m);
inline std::uint64_t draw_below(SampleRng& rng, std::uint64_t m) {
  if (m >> 32 != 0) return draw_below_wide(rng, m);
  const std::uint64_t p = std::uint64_t{rng.next_word32()} * m;
  const std::uint32_t lo = static_cast<std::uint32_t>(p);
  const std::uint64_t hi = p >> 32;
  if (lo <= static_cast<std::uint32_t>(0 - m)) return hi;
  const std::uint64_t t = (std::uint64_t{rng.next_word32()} * m) >> 32;
  return std::uint64_t{lo} + t >= (std::uint64_t{1} << 32) ? hi + 1 : hi;
}

// SamplerScratch: the reusable state of the order samplers for n nodes.
struct SamplerScratch {
  explicit SamplerScratch(std::size_t n);

  std::vector<std::uint64_t> remaining;  // in-degrees left
  std::vector<std::uint64_t> available;  // nodes that may come next
  std::vector<NodeId> order;             // the last drawn order
  std::vector<double> log_of;            // log_of[a] = ln(a), a <= n
};

// in_degrees: the number of parents of every node.
std::vector<std::uint64_t> in_degrees(const Dag& g);

// sample_order: a random topological order (left in scratch.order), choosing
// uniformly among the available nodes at every step; returns ln q, the log
// probability of the order drawn.
// REQUIRES: g valid; in_degree = in_degrees(g); scratch sized for g.
double sample_order(const Dag& g, std::span<const std::uint64_t> in_degree, SamplerScratch& scratch,
                    SampleRng& rng);

// sample_uniform_order: an exactly uniform random linear extension, driven by
// completion counts (memo shared by all draws of a run); false, with no
// order, when the memo would grow past `max_entries` (completion_count).
// Fails with the "dp_ind[...]" overflow when a count exceeds u64.
// REQUIRES: 1 <= n <= 63, parent_masks of those n nodes.
[[nodiscard]] Result<bool> sample_uniform_order(std::size_t n,
                                                std::span<const std::uint64_t> parent_masks,
                                                CompletionMemo& memo, SampleRng& rng,
                                                std::vector<NodeId>& order,
                                                std::uint64_t max_entries = UINT64_MAX);

// sample_lattice_order: an exactly uniform random linear extension of a DAG
// of any size whose order ideals were counted, node by node from the empty
// ideal: the next node x with probability completions(S + x) / completions(S).
void sample_lattice_order(const IdealLattice& l, SampleRng& rng, std::vector<NodeId>& order);

// prefix_contributions: walks the prefixes of `order`, v(empty) first, and
// calls sink(node, v(prefix + node) - v(prefix)) as each becomes known.
// `value` maps a one-word coalition to Result<double>.
template <class Lookup, class Sink>
[[nodiscard]] Result<void> prefix_contributions(std::span<const NodeId> order, Lookup&& value,
                                                Sink&& sink) {
  std::uint64_t mask = 0;
  Result<double> prev = value(mask);
  if (!prev) return std::unexpected(std::move(prev.error()));
  for (NodeId i : order) {
    mask |= std::uint64_t{1} << i;
    Result<double> cur = value(mask);
    if (!cur) return std::unexpected(std::move(cur.error()));
    sink(i, *cur - *prev);
    prev = cur;
  }
  return {};
}

// OrderBatch: the orders of one batch, back to back, with their ln q.
class OrderBatch {
 public:
  explicit OrderBatch(std::size_t n) : n_(n) {}

  std::size_t n_nodes() const { return n_; }
  std::size_t size() const { return logq_.size(); }
  std::span<const NodeId> order(std::size_t k) const {
    return std::span<const NodeId>(nodes_).subspan(k * n_, n_);
  }
  double logq(std::size_t k) const { return logq_[k]; }

  void clear() {
    nodes_.clear();
    logq_.clear();
  }
  void add(std::span<const NodeId> order, double logq) {
    nodes_.insert(nodes_.end(), order.begin(), order.end());
    logq_.push_back(logq);
  }

 private:
  std::size_t n_;
  std::vector<NodeId> nodes_;
  std::vector<double> logq_;
};

// evaluate_batch: puts every prefix coalition of the batch's orders into the
// cache, with at most one call of the batch oracle (the sorted, distinct,
// uncached coalitions). A result of the wrong length fails with
// "value_fn_batch returned m values for k coalitions" and stores nothing.
// REQUIRES: n <= 64.
[[nodiscard]] Result<void> evaluate_batch(const OrderBatch& batch, ValueCache& cache,
                                          BatchValueOracle& oracle);

// batch_length_error: the ValueFunction error of a batch result of m values
// for k coalitions.
AsvError batch_length_error(std::size_t m, std::size_t k);

}  // namespace morvend

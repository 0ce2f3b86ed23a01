// The pool modes of the importance estimator, run as lanes (estimation/lanes.hpp)
// on the calling thread and the process-wide oneTBB pool.
//
// Unseeded: lanes take chunks of the N samples from a shared counter; every
// lane keys its own generator from entropy and keeps its own plain sums.
// Seeded parallel: the samples are cut into T worker shares; whichever lane
// runs a share draws it from worker_seed(seed, w) into fresh Kahan sums, and
// the shares' sums are combined along the fixed halving tree of the share
// list (a list splits into its first floor(len / 2) shares and the rest), so
// the result is the same to the bit whatever the pool size or scheduling.
// In both modes the lanes' walkers share the run's value cache: a coalition
// costs one value-function call per run, whichever lane meets it first.
//
// Weights are unshifted, exp(-ln q) = prod a_t, while their log stays at most
// kMaxUnshiftedLogWeight; a piece that meets a larger one switches to a
// running-maximum shift, and pieces combine at the larger of their shifts.
// Graphs of at most 64 nodes never shift (ln 64! < 294).
//
// A failing piece stops the run, which returns that piece's error. Memory: per lane a
// walker and n sums, plus the shared cache; partial sums of finished shares
// wait for their sibling in the halving tree, not for the whole run.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <vector>

#include "estimation/estimators.hpp"
#include "estimation/lanes.hpp"

namespace morvend::detail {

// Beyond e^300 a weight's square, summed over up to 2^64 samples, or the
// squared weight sum of the ess could leave double range.
inline constexpr double kMaxUnshiftedLogWeight = 300.0;

// Partial: the sums of a piece (or of several combined), or its error.
struct Partial {
  ImportanceSums<PlainSum> sums;  // of no node: no sample yet
  std::optional<AsvError> error;
};

// combine: left + right at the larger shift. The left error wins over the
// right one, and an error over sums.
Partial combine(Partial left, const Partial& right);

// WorkerShare: `count` samples of worker `worker`.
struct WorkerShare {
  std::uint64_t worker;
  std::uint64_t count;
};

// share_count: the number of non-empty shares of N samples over T workers.
// REQUIRES: T >= 1.
std::uint64_t share_count(std::uint64_t n_samples, std::uint64_t threads);

// worker_share: the k-th non-empty share. Worker w holds samples
// [floor(w N / T), floor((w + 1) N / T)); a worker without samples is skipped
// but keeps its index.
// REQUIRES: k < share_count(N, T).
WorkerShare worker_share(std::uint64_t n_samples, std::uint64_t threads, std::uint64_t k);

// HalvingTree: combines the partial sums of shares 0 .. K-1 along the fixed
// halving tree, in whatever order they arrive; a partial waits only for its
// sibling. Thread-safe.
class HalvingTree {
 public:
  explicit HalvingTree(std::uint64_t leaves) : leaves_(leaves) {}
  // add: the partial of leaf k. REQUIRES: each leaf added once.
  void add(std::uint64_t k, Partial leaf);
  // root: the combination of all leaves. REQUIRES: every leaf added.
  Partial root() { return std::move(root_); }

 private:
  std::uint64_t leaves_;
  std::mutex mutex_;
  std::map<std::pair<std::uint64_t, std::uint64_t>, Partial> waiting_;  // by [begin, end)
  Partial root_;
};

// RunErrors: the error to report of a failed pool run: the one that stopped
// it. Pieces that fail after the stop (nested runs interrupted by it, waits
// given up) only echo it.
class RunErrors {
 public:
  // fail: records the error of a piece and stops the run.
  void fail(std::atomic<bool>& stop, AsvError error);
  // first: the error that stopped the run; Interrupted when something else
  // stopped it (the caller, or an enclosing run); nothing when it ran through.
  std::optional<AsvError> first();

 private:
  std::mutex mutex_;
  std::optional<AsvError> cause_;
  bool failed_ = false;
};

// PieceSums: the running sums of a piece.
template <class Sum>
class PieceSums {
 public:
  explicit PieceSums(std::size_t n) : sums_(n) {}

  // add_samples: `count` importance samples; stops at the first failure, or
  // when interrupted (the run stopping included).
  template <class Walker>
  [[nodiscard]] Result<void> add_samples(ImportanceDraw& draw, Walker& walker, SampleRng& rng,
                                         std::uint64_t count) {
    for (std::uint64_t k = 0; k < count; ++k) {
      if (Result<void> r = check_interrupt(); !r) return r;
      const double log_weight = -draw.draw(rng);
      if (log_weight > std::max(sums_.shift(), kMaxUnshiftedLogWeight)) sums_.shift_to(log_weight);
      const double w = sums_.weigh(log_weight);
      Result<void> walked =
          walker.walk(draw.order(), [&](NodeId i, double delta) { sums_.add(i, w * delta); });
      if (!walked) return walked;
    }
    return {};
  }

  Partial partial() const { return Partial{sums_.plain(), std::nullopt}; }

 private:
  ImportanceSums<Sum> sums_;
};

// unseeded_chunk: samples a lane takes at a time: small enough to balance
// the lanes, large enough that the shared counter stays cold.
std::uint64_t unseeded_chunk(std::uint64_t n_samples, std::size_t lanes);

// run_unseeded: the unseeded pool mode.
template <class MakeWalker>
[[nodiscard]] Result<Partial> run_unseeded(const ExplainerState& state, MakeWalker& make_walker,
                                           std::uint64_t n_samples) {
  const std::size_t lanes = lanes_for(n_samples);
  const std::uint64_t chunk = unseeded_chunk(n_samples, lanes);
  std::atomic<bool> stop{false};
  std::atomic<std::uint64_t> next{0};
  std::vector<Partial> partials(lanes);
  RunErrors errors;
  run_lanes(lanes, stop, [&](std::size_t lane) {
    auto walker = make_walker();
    ImportanceDraw draw(state.graph());
    SampleRng rng = rng_from_entropy();
    PieceSums<PlainSum> sums(state.n_nodes());
    for (;;) {
      const std::uint64_t begin = next.fetch_add(chunk, std::memory_order_relaxed);
      if (begin >= n_samples) break;
      const std::uint64_t count = std::min(chunk, n_samples - begin);
      if (Result<void> r = sums.add_samples(draw, walker, rng, count); !r) {
        errors.fail(stop, std::move(r.error()));
        return;
      }
    }
    partials[lane] = sums.partial();
  });
  if (std::optional<AsvError> e = errors.first()) return std::unexpected(std::move(*e));
  Partial total;
  for (const Partial& p : partials) total = combine(std::move(total), p);
  return total;
}

// run_seeded_parallel: the seeded parallel mode with T workers.
// REQUIRES: threads >= 1.
template <class MakeWalker>
[[nodiscard]] Result<Partial> run_seeded_parallel(const ExplainerState& state,
                                                  MakeWalker& make_walker, std::uint64_t n_samples,
                                                  std::uint64_t seed, std::uint64_t threads) {
  const std::uint64_t shares = share_count(n_samples, threads);
  std::atomic<bool> stop{false};
  std::atomic<std::uint64_t> next{0};
  HalvingTree tree(shares);
  RunErrors errors;
  run_lanes(lanes_for(shares), stop, [&](std::size_t) {
    auto walker = make_walker();
    ImportanceDraw draw(state.graph());
    for (std::uint64_t k; (k = next.fetch_add(1, std::memory_order_relaxed)) < shares;) {
      const WorkerShare share = worker_share(n_samples, threads, k);
      SampleRng rng = rng_from_seed(worker_seed(seed, share.worker));
      PieceSums<KahanSum> sums(state.n_nodes());
      if (Result<void> r = sums.add_samples(draw, walker, rng, share.count); !r) {
        errors.fail(stop, std::move(r.error()));
        return;
      }
      tree.add(k, combine(Partial{}, sums.partial()));
    }
  });
  if (std::optional<AsvError> e = errors.first()) return std::unexpected(std::move(*e));
  return tree.root();
}

// run_pool: the mode `options` asks for (seeded parallel with a seed, else
// unseeded), then the estimate from the combined sums.
// NOTE: calls oracle.pause() on this thread first; walkers made by
// make_walker() call the oracle from pool threads.
template <class MakeWalker>
[[nodiscard]] Result<AsvResult> run_pool(const ExplainerState& state, ValueOracle& oracle,
                                         const SamplingOptions& options, MakeWalker make_walker) {
  if (options.seed && options.num_threads == 0) {
    return std::unexpected(AsvError::invalid_configuration("num_threads must be > 0"));
  }
  oracle.pause();
  const std::uint64_t threads = options.num_threads.value_or(
      static_cast<std::uint64_t>(tbb::this_task_arena::max_concurrency()));
  Result<Partial> total = options.seed ? run_seeded_parallel(state, make_walker, options.n_samples,
                                                             *options.seed, threads)
                                       : run_unseeded(state, make_walker, options.n_samples);
  if (!total) return std::unexpected(std::move(total.error()));
  return estimate(total->sums.ratio(), options.n_samples, options.seed, total->sums.ess());
}

}  // namespace morvend::detail

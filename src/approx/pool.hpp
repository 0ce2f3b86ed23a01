// The pool modes of the importance estimator, on the process-wide oneTBB
// arena (created by oneTBB on first use, one thread per logical processor).
//
// Unseeded: the N samples are cut by recursive halving into about one piece
// per thread; every piece keys its own generator from entropy and keeps its
// own walker and plain sums.
// Seeded parallel: the samples are cut into T worker shares, each keyed from
// worker_seed(seed, w) with Kahan sums, and the shares are combined along a
// fixed halving tree (deterministic reduce, one share per leaf), so the result
// is the same to the bit whatever the pool size or scheduling.
//
// Weights are unshifted, exp(-ln q) = prod a_t, while their log stays at most
// kMaxUnshiftedLogWeight; a piece that meets a larger one switches to a
// running-maximum shift, and pieces combine at the larger of their shifts.
// Graphs of at most 64 nodes never shift (ln 64! < 294).
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <vector>

#include <oneapi/tbb/blocked_range.h>
#include <oneapi/tbb/parallel_reduce.h>
#include <oneapi/tbb/task_arena.h>

#include "approx/estimators.hpp"

namespace morvend::detail {

// Beyond e^300 a weight's square, summed over up to 2^64 samples, or the
// squared weight sum of the ess could leave double range.
inline constexpr double kMaxUnshiftedLogWeight = 300.0;

// Partial: the sums of a piece (or of several combined), or its error.
struct Partial {
  std::vector<double> phi;  // empty: no sample yet
  double w1 = 0.0;
  double w2 = 0.0;
  double shift = 0.0;  // the weights summed are exp(log_weight - shift)
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

// run_piece: `count` importance samples into fresh sums. `poll`: stop early
// once `stop` is set (checked after each sample).
template <class Sum, class Walker>
Partial run_piece(const ExplainerState& state, Walker& walker, SampleRng& rng, std::uint64_t count,
                  const std::atomic<bool>& stop, bool poll) {
  const std::size_t n = state.n_nodes();
  ImportanceDraw draw(state.graph());
  std::vector<Sum> phi(n);
  Sum w1, w2;
  double shift = 0.0;
  for (std::uint64_t k = 0; k < count; ++k) {
    if (poll && k > 0 && stop.load(std::memory_order_relaxed)) break;
    const double log_weight = -draw.draw(rng);
    if (log_weight > std::max(shift, kMaxUnshiftedLogWeight)) {
      const double r = std::exp(shift - log_weight);
      for (Sum& p : phi) p.scale(r);
      w1.scale(r);
      w2.scale(r * r);
      shift = log_weight;
    }
    const double w = std::exp(log_weight - shift);
    w1.add(w);
    w2.add(w * w);
    Result<void> walked =
        walker.walk(draw.order(), [&](NodeId i, double delta) { phi[i].add(w * delta); });
    if (!walked) {
      Partial failed;
      failed.error = std::move(walked.error());
      return failed;
    }
  }
  Partial out;
  out.phi.resize(n);
  for (std::size_t i = 0; i < n; ++i) out.phi[i] = phi[i].sum;
  out.w1 = w1.sum;
  out.w2 = w2.sum;
  out.shift = shift;
  return out;
}

// run_unseeded: the unseeded pool mode.
template <class MakeWalker>
Partial run_unseeded(const ExplainerState& state, MakeWalker& make_walker,
                     std::uint64_t n_samples) {
  std::atomic<bool> stop{false};
  using Range = tbb::blocked_range<std::uint64_t>;
  // About one piece per thread: every piece starts with an empty cache, so
  // finer pieces would ask the value function again for what others know.
  const auto threads = static_cast<std::uint64_t>(tbb::this_task_arena::max_concurrency());
  const std::uint64_t grain = std::max<std::uint64_t>(1, (n_samples + threads - 1) / threads);
  return tbb::parallel_reduce(
      Range(0, n_samples, grain), Partial{},
      [&](const Range& range, const Partial& init) -> Partial {
        if (stop.load(std::memory_order_relaxed)) return init;
        auto walker = make_walker();
        SampleRng rng = rng_from_entropy();
        Partial piece = run_piece<PlainSum>(state, walker, rng, range.size(), stop, true);
        if (piece.error) stop.store(true, std::memory_order_relaxed);
        return combine(init, piece);
      },
      [](const Partial& left, const Partial& right) { return combine(left, right); },
      tbb::simple_partitioner());
}

// run_seeded_parallel: the seeded parallel mode with T workers.
// REQUIRES: threads >= 1.
template <class MakeWalker>
Partial run_seeded_parallel(const ExplainerState& state, MakeWalker& make_walker,
                            std::uint64_t n_samples, std::uint64_t seed, std::uint64_t threads) {
  std::atomic<bool> stop{false};
  using Range = tbb::blocked_range<std::uint64_t>;
  // Grain 1 with the simple partitioner: every leaf holds exactly one share.
  return tbb::parallel_deterministic_reduce(
      Range(0, share_count(n_samples, threads), 1), Partial{},
      [&](const Range& range, const Partial& init) -> Partial {
        Partial acc = init;
        for (std::uint64_t k = range.begin(); k < range.end(); ++k) {
          if (stop.load(std::memory_order_relaxed)) break;
          const WorkerShare share = worker_share(n_samples, threads, k);
          auto walker = make_walker();
          SampleRng rng = rng_from_seed(worker_seed(seed, share.worker));
          Partial piece = run_piece<KahanSum>(state, walker, rng, share.count, stop, false);
          if (piece.error) stop.store(true, std::memory_order_relaxed);
          acc = combine(std::move(acc), piece);
        }
        return acc;
      },
      [](const Partial& left, const Partial& right) { return combine(left, right); });
}

// run_pool: the mode `options` asks for (seeded parallel with a seed, else
// unseeded), then the estimate from the combined sums.
// NOTE: calls oracle.pause() on this thread first; walkers made by
// make_walker() call the oracle from pool threads.
template <class MakeWalker>
Result<AsvResult> run_pool(const ExplainerState& state, ValueOracle& oracle,
                           const SamplingOptions& options, MakeWalker make_walker) {
  if (options.seed && options.num_threads == 0) {
    return std::unexpected(AsvError::invalid_configuration("num_threads must be > 0"));
  }
  oracle.pause();
  const std::uint64_t threads = options.num_threads.value_or(
      static_cast<std::uint64_t>(tbb::this_task_arena::max_concurrency()));
  Partial total = options.seed ? run_seeded_parallel(state, make_walker, options.n_samples,
                                                     *options.seed, threads)
                               : run_unseeded(state, make_walker, options.n_samples);
  if (total.error) return std::unexpected(std::move(*total.error));
  for (double& p : total.phi) p /= total.w1;
  return estimate(std::move(total.phi), options.n_samples, options.seed,
                  total.w1 * total.w1 / total.w2);
}

}  // namespace morvend::detail

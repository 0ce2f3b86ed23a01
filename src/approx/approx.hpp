// The sampling estimators: importance-weighted and exactly uniform random
// linear extensions, fixed-count and adaptive, single-call and batched, with
// the pool modes and the variants for more than 64 nodes behind them.
//
// Every estimator returns an AsvResult with is_exact false, n_samples the
// number of orders drawn, the seed echoed, and ess; the adaptive ones add
// stderr and converged. Seeded runs draw the same orders on every run and
// every processor.
//
//   Result<AsvResult> r = approximate(state, oracle, {.n_samples = 10000, .seed = 7});
#pragma once

#include <cstdint>
#include <span>

#include "asv/explainer_state.hpp"
#include "asv/records.hpp"
#include "asv/value_oracle.hpp"
#include "graph/limits.hpp"

namespace morvend {

// approximate: importance sampling ("approx"). Serial when seeded and not
// parallel; the unseeded pool mode without a seed; the seeded parallel mode
// with a seed and `parallel` (num_threads = 0 refused). More than 64 nodes go
// to the large variant.
// NOTE: the pool modes call oracle.pause() on this thread, then call the
// oracle from oneTBB worker threads and from this one, several at once. A
// failing call sets a stop flag; the run returns the error of the leftmost
// piece that failed. Exceptions thrown on a worker (InternalFault,
// std::bad_alloc) are rethrown here on the calling thread.
// REQUIRES: state's graph is valid.
[[nodiscard]] Result<AsvResult> approximate(const ExplainerState& state, ValueOracle& oracle,
                                            const SamplingOptions& options);

// approximate_batched: importance sampling with one batch call per batch of
// options.batch_size orders (absent: 256; 0 counts as 1). Serial.
[[nodiscard]] Result<AsvResult> approximate_batched(const ExplainerState& state,
                                                    BatchValueOracle& oracle,
                                                    const SamplingOptions& options);

// check_uniform_sparse: the refusals of "uniform_sparse" before any work:
// n > 63, then n_samples = 0.
[[nodiscard]] Result<void> check_uniform_sparse(std::size_t n, const SamplingOptions& options);

// approximate_uniform_sparse: exactly uniform orders ("uniform_sparse").
// Refuses as check_uniform_sparse does; refuses a DAG whose completion-count
// memo (kBytesPerIdealEntry per order ideal) would exceed memo_budget before
// it draws or asks for any value.
[[nodiscard]] Result<AsvResult> approximate_uniform_sparse(
    const ExplainerState& state, ValueOracle& oracle, const SamplingOptions& options,
    std::span<const std::uint64_t> parent_masks, std::uint64_t memo_budget);

// The adaptive estimators: batches until the estimates settle or
// max_samples; stderr per node and converged.
[[nodiscard]] Result<AsvResult> approximate_adaptive(const ExplainerState& state,
                                                     ValueOracle& oracle,
                                                     const AdaptiveOptions& options);
[[nodiscard]] Result<AsvResult> approximate_adaptive_batched(const ExplainerState& state,
                                                             BatchValueOracle& oracle,
                                                             const AdaptiveOptions& options);
// check_uniform_sparse_adaptive: the refusal of n > 63 by the uniform
// adaptive estimators, before any other check.
[[nodiscard]] Result<void> check_uniform_sparse_adaptive(std::size_t n);

// The uniform ones refuse n > 63 first, with the method entries' messages.
[[nodiscard]] Result<AsvResult> approximate_uniform_sparse_adaptive(
    const ExplainerState& state, ValueOracle& oracle, const AdaptiveOptions& options,
    std::span<const std::uint64_t> parent_masks, std::uint64_t memo_budget);
[[nodiscard]] Result<AsvResult> approximate_uniform_sparse_adaptive_batched(
    const ExplainerState& state, BatchValueOracle& oracle, const AdaptiveOptions& options,
    std::span<const std::uint64_t> parent_masks, std::uint64_t memo_budget);

}  // namespace morvend

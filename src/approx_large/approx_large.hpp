// Importance sampling for graphs of more than 64 nodes: the same orders,
// weights, sums, modes and records as the one-word estimators, with
// coalitions of ceil(n / 64) words, a value cache bounded at 50,000 entries
// (and 1 GiB) per run, shared by the lanes of a pool run, and batch calls of
// at most 4096 coalitions.
//
// The one-word estimators hand over here, options unchanged, when n > 64;
// these repeat their option checks with the same messages. A look-up hashes
// and compares w = ceil(n / 64) words, so an order costs O(n * w).
//
//   Result<AsvResult> r = approximate_large(state, oracle, {.n_samples = 1000, .seed = 3});
#pragma once

#include <cstddef>

#include "asv/explainer_state.hpp"
#include "asv/records.hpp"
#include "asv/value_oracle.hpp"
#include "graph/limits.hpp"

namespace morvend {

// REQUIRES (all four): state's graph is valid; any n works, the dispatch
// only sends n > 64.
[[nodiscard]] Result<AsvResult> approximate_large(const ExplainerState& state, ValueOracle& oracle,
                                                  const SamplingOptions& options);
[[nodiscard]] Result<AsvResult> approximate_batched_large(const ExplainerState& state,
                                                          BatchValueOracle& oracle,
                                                          const SamplingOptions& options);
[[nodiscard]] Result<AsvResult> approximate_adaptive_large(const ExplainerState& state,
                                                           ValueOracle& oracle,
                                                           const AdaptiveOptions& options);
[[nodiscard]] Result<AsvResult> approximate_adaptive_batched_large(const ExplainerState& state,
                                                                   BatchValueOracle& oracle,
                                                                   const AdaptiveOptions& options);

}  // namespace morvend

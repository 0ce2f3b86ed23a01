// The estimate of explain_within when the order ideals do not fit the call
// budget: uniform random linear extensions, walked through their prefixes
// while the new coalitions fit the budget, with a pairwise surrogate fitted
// to every coalition evaluated as a control variate. The surrogate's ASV is
// exact (precedence probabilities); only the residual v - g is averaged over
// the orders, and its spread gives the standard errors.
//
// Uniform orders are permutations on a graph without edges, come from the
// lattice of order ideals and its counts when the ideals can be counted (any
// n), and otherwise from independent Markov chains on the linear extensions,
// one order from each in turn (their averages converge to the uniform ones;
// the spread of the chains' means gives the standard errors).
//
//   Result<WithinEstimate> e = estimate_within(state, oracle, {.max_calls = 10000, .seed = 7});
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "asv/explainer_state.hpp"
#include "asv/value_oracle.hpp"

namespace morvend {

// CallProgress: told how many coalitions have been evaluated so far, after
// each call (single form) or batch call; the binding draws a progress bar.
class CallProgress {
 public:
  virtual ~CallProgress() = default;
  virtual void calls_done(std::uint64_t calls) = 0;
};

struct WithinOptions {
  std::uint64_t max_calls = 10000;
  std::optional<std::uint64_t> seed{};
  std::size_t batch_size = 4096;  // coalitions per batch call (0 counts as 1)
  // Above this many order ideals (about 80 bytes each), or 100 per call of
  // max_calls if fewer (but at least 10^6), uniform orders come from the
  // chains.
  std::uint64_t counted_ideal_limit = 10'000'000;
  CallProgress* progress = nullptr;  // none when null
};

struct WithinEstimate {
  std::vector<double> values;
  std::vector<double> stderr_values;
  std::uint64_t calls = 0;   // distinct coalitions evaluated
  std::uint64_t orders = 0;  // orders walked (coalitions drawn, on the paired strata)
};

// estimate_within: InvalidConfiguration when max_calls cannot cover one
// order (n + 1 coalitions).
// REQUIRES: state's graph is valid.
// The orders are drawn first, then their coalitions evaluated in the order
// first met: one call each, or batches of batch_size; the two forms give the
// same result to the bit.
[[nodiscard]] Result<WithinEstimate> estimate_within(const ExplainerState& state,
                                                     ValueOracle& oracle,
                                                     const WithinOptions& options);
[[nodiscard]] Result<WithinEstimate> estimate_within(const ExplainerState& state,
                                                     BatchValueOracle& oracle,
                                                     const WithinOptions& options);

}  // namespace morvend

// The estimate of explain_within when the order ideals do not fit the call
// budget: uniform random linear extensions (OrderSource), walked through
// their prefixes while the new coalitions fit the budget, with a pairwise
// surrogate as a control variate where it pays. The surrogate's ASV is exact
// (precedence probabilities), so only the residual v - g is averaged over
// the orders. The surrogate is cross-fitted: the orders are cut into folds,
// and each fold's residuals are corrected by a surrogate fitted without that
// fold's coalitions, so they are not shrunk in-sample and the spread of the
// per-order estimates is an honest error. Orders of one chain stream go to
// one fold and count as one replicate; with fewer than kMinReplicates
// replicates the standard errors are NaN.
//
//   Result<WithinEstimate> e = estimate_within(state, oracle, {.max_calls = 10000, .seed = 7});
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "asv/explainer_state.hpp"
#include "asv/value_oracle.hpp"
#include "budget/order_source.hpp"
#include "budget/within_options.hpp"

namespace morvend {

struct WithinEstimate {
  std::vector<double> values;
  std::vector<double> stderr_values;
  std::uint64_t calls = 0;   // distinct coalitions evaluated
  std::uint64_t orders = 0;  // orders walked (coalitions drawn, on the paired strata)
  bool exact = false;       // every coalition needed was taken: no sampling error
};

// floor_at_rounding: each standard error (NaN stays NaN) combined with the
// rounding error of sums whose largest term is about `scale`.
void floor_at_rounding(std::vector<double>& stderr_values, double scale);

// order_source_limits: the limits of the order source for a budget on n nodes.
OrderSourceLimits order_source_limits(std::size_t n, const WithinOptions& options);

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
// The same with orders from `source` and `rng` (made by the caller, who has
// looked at the ideals already).
[[nodiscard]] Result<WithinEstimate> estimate_within(const ExplainerState& state,
                                                     ValueOracle& oracle,
                                                     const WithinOptions& options,
                                                     OrderSource& source, SampleRng& rng);
[[nodiscard]] Result<WithinEstimate> estimate_within(const ExplainerState& state,
                                                     BatchValueOracle& oracle,
                                                     const WithinOptions& options,
                                                     OrderSource& source, SampleRng& rng);

}  // namespace morvend

// The estimate of explain_within for budgets that walk too few orders to
// average (fewer than kMinReplicates): coalitions drawn as prefixes of
// uniform orderings cut at a uniform length (the empty and the full one
// always), a sparse surrogate fitted to their values (sparse_fit.hpp), and
// its ASV over orderings drawn without any call. At 10^3 calls on real
// networks of 37 to 223 nodes this is 12 to 68 times more accurate than
// walking the orders. No honest standard error exists for it (the fit's
// bias is of the size of its spread): they are NaN.
//
//   Result<std::optional<WithinEstimate>> e = estimate_by_fit(dag, oracle, options, source, rng);
#pragma once

#include <optional>

#include "asv/value_oracle.hpp"
#include "budget/estimate_within.hpp"
#include "budget/order_source.hpp"

namespace morvend {

// fits_budget: whether the budget walks too few orders to average, and its
// fit's additive part alone stays within half the work the budget allows.
bool fits_budget(std::size_t n, std::uint64_t max_calls);

// estimate_by_fit: nullopt unless fits_budget(). Draws from `source` and `rng`.
// REQUIRES: dag valid; max_calls >= n + 1.
[[nodiscard]] Result<std::optional<WithinEstimate>> estimate_by_fit(const Dag& dag, ValueOracle& oracle,
                                                                    const WithinOptions& options,
                                                                    OrderSource& source, SampleRng& rng);
[[nodiscard]] Result<std::optional<WithinEstimate>> estimate_by_fit(const Dag& dag,
                                                                    BatchValueOracle& oracle,
                                                                    const WithinOptions& options,
                                                                    OrderSource& source, SampleRng& rng);

}  // namespace morvend

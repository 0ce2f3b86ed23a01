// The estimate of explain_within on a graph without edges, where every
// ordering counts and the ASV is the Shapley value: coalitions instead of
// orderings. The Shapley value is a weighted sum over coalitions,
//   phi_i = v(N)/n - v({})/n + sum over sizes 0 < s < n of
//           1/C(n,s) sum over S of size s of v(S) (n [i in S] - s) / (s (n - s)),
// and sizes s and n - s form one stratum, sampled in pairs of a coalition and
// its complement (which cancels every term of degree up to two). A stratum
// whose coalitions fit its share of the budget is taken whole; the others are
// sampled without repeats. The ends and whole strata are summed from the
// values; in a sampled stratum, each pair's estimate is its fold surrogate's
// exact share of the stratum plus the pair's residual. The surrogate models
// the pair's difference v(S) - v(S') with additive and pairwise terms (every
// pair, or the strongest), fitted with the Shapley kernel's weights without
// that fold's pairs. The spread over the pairs gives the standard errors; with
// fewer than kMinReplicates sampled pairs they are NaN, and with none the
// estimate is exact.
//
//   Result<std::optional<WithinEstimate>> e = estimate_paired_strata(n, oracle, options);
#pragma once

#include <cstddef>
#include <optional>

#include "asv/value_oracle.hpp"
#include "budget/estimate_within.hpp"

namespace morvend {

// estimate_paired_strata: nothing when max_calls gives some stratum fewer
// than two pairs (below about 2n calls): then there is no error to report,
// and the caller walks orderings instead.
// REQUIRES: the graph of the n nodes has no edges, n >= 2.
[[nodiscard]] Result<std::optional<WithinEstimate>> estimate_paired_strata(
    std::size_t n, ValueOracle& oracle, const WithinOptions& options);
[[nodiscard]] Result<std::optional<WithinEstimate>> estimate_paired_strata(
    std::size_t n, BatchValueOracle& oracle, const WithinOptions& options);

}  // namespace morvend

// explain_within: the ASV within a budget of value calls. Exact over the
// order ideals when they fit the budget (any n), else the surrogate
// estimate; repeats never count, since every coalition is asked once.
//
//   Result<WithinResult> r = explain_within(state, oracle, {.max_calls = 10000, .seed = 7});
//   r->result.is_exact;  r->calls;  r->result.selected_method;
#pragma once

#include <cstdint>
#include <optional>

#include "asv/explainer_state.hpp"
#include "asv/records.hpp"
#include "asv/value_oracle.hpp"
#include "budget/within_options.hpp"

namespace morvend {

struct WithinResult {
  AsvResult result;         // values, stderr, is_exact, selected_method, n_order_ideals
  std::uint64_t calls = 0;  // distinct coalitions evaluated
};

// covers_one_order: InvalidConfiguration when max_calls cannot cover one
// order (n + 1 coalitions), the least any DAG of n nodes needs.
[[nodiscard]] Result<void> covers_one_order(std::size_t n, std::uint64_t max_calls);

// check_within: what a front end refuses before a run, in this order:
// max_calls and batch_size above zero (the engines count a batch_size of 0
// as 1), then the interval level.
[[nodiscard]] Result<void> check_within(std::uint64_t max_calls, std::uint64_t batch_size,
                                        const std::optional<double>& ci);

// Validates the graph first (EmptyGraph, Cycle).
[[nodiscard]] Result<WithinResult> explain_within(const ExplainerState& state, ValueOracle& oracle,
                                                  const WithinOptions& options);
[[nodiscard]] Result<WithinResult> explain_within(const ExplainerState& state,
                                                  BatchValueOracle& oracle,
                                                  const WithinOptions& options);

}  // namespace morvend

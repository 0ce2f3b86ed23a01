// Exact ASV of a DAG of at most 20 nodes by a dynamic programme over all 2^n
// coalitions.
//
// Two count tables (orders of each order ideal, completions of each set) and
// a mask-indexed value table: O(2^n * n) steps, 24 MiB at n = 20, one
// value-function call per order ideal (a NaN result is asked again, since NaN
// marks an empty entry).
//
//   Result<AsvResult> r = exact_dag(state, oracle);  // r->n_samples == 2^n
#pragma once

#include "asv/explainer_state.hpp"
#include "asv/records.hpp"
#include "asv/value_oracle.hpp"

namespace morvend {

// exact_dag: validate, then the n <= 20 limit, then the engine.
[[nodiscard]] Result<AsvResult> exact_dag(const ExplainerState& state, ValueOracle& oracle);

}  // namespace morvend

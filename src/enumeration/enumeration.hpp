// The method "exact": ASV by its definition, averaging every node's marginal
// contribution over every linear extension, walked in lexicographic order.
//
// The orders are walked, not stored; still, their number can reach n!, so
// DAGs with more than kMaxLinearExtensions orders (graph/limits.hpp) are
// refused up front.
//
//   Result<AsvResult> r = exact_enumeration(state, oracle);  // r->n_samples = |L|
#pragma once

#include <cstdint>

#include "asv/explainer_state.hpp"
#include "asv/records.hpp"
#include "asv/value_oracle.hpp"
#include "graph/limits.hpp"

namespace morvend {

// exact_enumeration: validate, n <= 64, the order-count limit, then the walk.
[[nodiscard]] Result<AsvResult> exact_enumeration(const ExplainerState& state, ValueOracle& oracle);

}  // namespace morvend

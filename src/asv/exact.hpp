// The method "exact": ASV by its definition, averaging every node's marginal
// contribution over every linear extension, walked in lexicographic order.
//
// The orders are walked, not stored; still, their number can reach n!, so
// DAGs with more than kMaxLinearExtensions orders are refused up front.
//
//   Result<AsvResult> r = exact_enumeration(state, oracle);  // r->n_samples = |L|
#pragma once

#include <cstdint>

#include "asv/explainer_state.hpp"
#include "asv/records.hpp"
#include "asv/value_oracle.hpp"

namespace morvend {

// Largest number of linear extensions "exact" walks (about a second of work
// with a cheap value function); the policies only send DAGs of 8 nodes.
inline constexpr std::uint64_t kMaxLinearExtensions = 10'000'000;

// exact_enumeration: validate, n <= 64, the order-count limit, then the walk.
[[nodiscard]] Result<AsvResult> exact_enumeration(const ExplainerState& state,
                                                  ValueOracle& oracle);

}  // namespace morvend

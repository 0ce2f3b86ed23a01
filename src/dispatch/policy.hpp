// The selection policies: `auto` (explain) and `auto_quality`
// (explain_quality). Both try exact engines in a fixed order, fall back to
// sampling when an exact engine is not affordable, and record which method
// ran and, after a fallback, from which method and why.
//
//   Result<AsvResult> r = select_auto(state, oracle, options);
//   r->selected_method;  // "exact", "exact_tree", "exact_dag_sparse", "exact_dag", "approx"
#pragma once

#include "asv/explainer_state.hpp"
#include "asv/records.hpp"
#include "asv/value_oracle.hpp"

namespace morvend {

[[nodiscard]] Result<AsvResult> select_auto(const ExplainerState& state, ValueOracle& oracle,
                                            const SamplingOptions& options);

[[nodiscard]] Result<AsvResult> select_auto_quality(const ExplainerState& state,
                                                    ValueOracle& oracle,
                                                    const AdaptiveOptions& options);

}  // namespace morvend

// The selection policies: `auto` (explain), `auto_quality`
// (explain_quality) and the batched quality choice (explain_quality_batch).
// The first two try exact engines in a fixed order, fall back to
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

// select_quality_batch: by node count, uniform sparse adaptive batches up to
// kMaxSparseNodes (ESS = n_samples), importance-sampled adaptive batches
// beyond; selected_method names the one that ran.
[[nodiscard]] Result<AsvResult> select_quality_batch(const ExplainerState& state,
                                                     BatchValueOracle& oracle,
                                                     const AdaptiveOptions& options);

}  // namespace morvend

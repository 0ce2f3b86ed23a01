// The method names, each written once: the method table parses them, the
// policies record them, inspect() recommends them and messages quote them.
#pragma once

namespace morvend::method_name {

inline constexpr const char* kAuto = "auto";
inline constexpr const char* kExact = "exact";
inline constexpr const char* kApprox = "approx";
inline constexpr const char* kExactDag = "exact_dag";
inline constexpr const char* kExactTree = "exact_tree";
inline constexpr const char* kUniformSparse = "uniform_sparse";
inline constexpr const char* kExactDagSparse = "exact_dag_sparse";

// The policy explain_quality runs, as reported when it records no method.
inline constexpr const char* kAutoQuality = "auto_quality";

// The names the adaptive runs report.
inline constexpr const char* kApproxAdaptive = "approx_adaptive";
inline constexpr const char* kUniformSparseAdaptive = "uniform_sparse_adaptive";
inline constexpr const char* kApproxAdaptiveBatch = "approx_adaptive_batch";
inline constexpr const char* kUniformSparseAdaptiveBatch = "uniform_sparse_adaptive_batch";

// The paths of explain_within: exact over the order ideals, the surrogate
// estimate with its residual sampled along orderings, (no edges) over
// coalitions drawn in complementary pairs by size, or (too few orderings to
// average) a sparse surrogate fitted to prefixes of orderings.
inline constexpr const char* kExactIdeals = "exact_ideals";
inline constexpr const char* kSurrogateResidual = "surrogate_residual";
inline constexpr const char* kPairedStrata = "paired_strata";
inline constexpr const char* kSurrogateFit = "surrogate_fit";

}  // namespace morvend::method_name

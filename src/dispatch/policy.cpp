#include "dispatch/policy.hpp"

#include <functional>
#include <optional>
#include <string>

#include "approx/approx.hpp"
#include "asv/ideal_levels.hpp"
#include "dag_dp/dag_dp.hpp"
#include "dag_dp_sparse/dag_dp_sparse.hpp"
#include "dispatch/dispatch.hpp"
#include "enumeration/enumeration.hpp"
#include "graph/limits.hpp"
#include "graph/method_names.hpp"

namespace morvend {
namespace {

constexpr const char* kTreeBudgetReason = "tree shape exceeded exact_tree's feasibility budget";
constexpr const char* kTreeBitmaskReason =
    "tree exceeds exact_tree's n \xe2\x89\xa4 64 bitmask limit";
constexpr const char* kSparseAlsoInfeasible = "; exact_dag_sparse also infeasible for this DAG";

using Sampler = std::function<Result<AsvResult>()>;

// selected: records the method that produced the values and, after a
// fallback, where it came from and why.
[[nodiscard]] Result<AsvResult> selected(Result<AsvResult> r, const char* method,
                                         std::optional<std::string> from = std::nullopt,
                                         std::optional<std::string> reason = std::nullopt) {
  if (!r) return r;
  r->selected_method = method;
  r->fallback_from = std::move(from);
  r->fallback_reason = std::move(reason);
  return r;
}

bool sparse_fallback_eligible(const AsvError& e) {
  return e.kind() == AsvError::Kind::kInvalidConfiguration ||
         e.kind() == AsvError::Kind::kExtensionCountOverflow;
}

Result<bool> ideals_at_most(const ExplainerState& state, std::uint64_t limit) {
  return morvend::ideals_at_most(state.parent_masks(), limit);
}

[[nodiscard]] Result<AsvResult> sparse(const ExplainerState& state, ValueOracle& oracle,
                                       std::uint64_t max_nodes) {
  if (Result<void> r = state.graph().validate(); !r) return std::unexpected(r.error());
  return exact_dag_sparse(state, oracle,
                          {.max_nodes = max_nodes, .memory_limit = kIdealMemoryBudget});
}

// The tree path, shared by both policies: the tree engine within its
// budgets, else the sparse DP when affordable, else the sampler.
[[nodiscard]] Result<AsvResult> tree_path(const ExplainerState& state, ValueOracle& oracle,
                                          const char* sampler_name, const Sampler& sample) {
  Result<AsvResult> tree = exact_tree_method(state, oracle);
  if (tree) return selected(std::move(tree), method_name::kExactTree);
  std::string reason;
  switch (tree.error().kind()) {
    case AsvError::Kind::kInvalidConfiguration:
      reason = kTreeBitmaskReason;
      break;
    case AsvError::Kind::kTreeBudgetExceeded:
      reason = kTreeBudgetReason;
      break;
    default:
      return tree;
  }
  const std::size_t n = state.n_nodes();
  Result<bool> few_ideals = n <= kMaxSparseNodes ? ideals_at_most(state, kSparseIdealLimit) : false;
  if (!few_ideals) return std::unexpected(std::move(few_ideals.error()));
  if (*few_ideals) {
    Result<AsvResult> r = sparse(state, oracle, n);
    if (r)
      return selected(std::move(r), method_name::kExactDagSparse, method_name::kExactTree, reason);
    if (!sparse_fallback_eligible(r.error())) return r;
  }
  if (n <= kMaxSparseNodes) reason += kSparseAlsoInfeasible;
  return selected(sample(), sampler_name, method_name::kExactTree, reason);
}

// Rule for at most 20 nodes, shared by both policies: the sparse DP when at
// most half of all coalitions are order ideals, else (or after an affordable
// failure) the dense DP.
[[nodiscard]] Result<AsvResult> small_dag(const ExplainerState& state, ValueOracle& oracle) {
  const std::size_t n = state.n_nodes();
  Result<bool> few_ideals = ideals_at_most(state, std::uint64_t{1} << (n - 1));
  if (!few_ideals) return std::unexpected(std::move(few_ideals.error()));
  if (*few_ideals) {
    Result<AsvResult> r = sparse(state, oracle, kDefaultSparseMaxNodes);
    if (r) return selected(std::move(r), method_name::kExactDagSparse);
    if (!sparse_fallback_eligible(r.error())) return r;
  }
  return selected(exact_dag(state, oracle), method_name::kExactDag);
}

}  // namespace

Result<AsvResult> select_auto(const ExplainerState& state, ValueOracle& oracle,
                              const SamplingOptions& options) {
  if (Result<void> r = state.graph().validate(); !r) return std::unexpected(r.error());
  const std::size_t n = state.n_nodes();
  const Sampler approx = [&] { return approximate(state, oracle, options); };
  if (n <= kMaxEnumeratedNodes)
    return selected(exact_enumeration(state, oracle), method_name::kExact);
  if (state.is_rooted_tree()) return tree_path(state, oracle, method_name::kApprox, approx);
  if (n <= kMaxDenseNodes) return small_dag(state, oracle);
  if (n <= kDefaultSparseMaxNodes) {
    Result<bool> fits = ideals_at_most(state, kSparseMemoryIdealLimit);
    if (!fits) return std::unexpected(std::move(fits.error()));
    if (!*fits) {
      return selected(approx(), method_name::kApprox, method_name::kExactDagSparse,
                      "order ideal count exceeds sparse memory budget (" +
                          std::to_string(kSparseMemoryIdealLimit) + " states)");
    }
    Result<AsvResult> r = sparse(state, oracle, kDefaultSparseMaxNodes);
    if (r) return selected(std::move(r), method_name::kExactDagSparse);
    if (!sparse_fallback_eligible(r.error())) return r;
    return selected(approx(), method_name::kApprox, method_name::kExactDagSparse,
                    r.error().detail());
  }
  Result<bool> few_ideals = n <= kMaxSparseNodes ? ideals_at_most(state, kSparseIdealLimit) : false;
  if (!few_ideals) return std::unexpected(std::move(few_ideals.error()));
  if (*few_ideals) {
    Result<AsvResult> r = sparse(state, oracle, n);
    if (r) return selected(std::move(r), method_name::kExactDagSparse);
    if (!sparse_fallback_eligible(r.error())) return r;
    return selected(approx(), method_name::kApprox, method_name::kExactDagSparse,
                    r.error().detail());
  }
  return selected(approx(), method_name::kApprox);
}

Result<AsvResult> select_auto_quality(const ExplainerState& state, ValueOracle& oracle,
                                      const AdaptiveOptions& options) {
  if (Result<void> r = state.graph().validate(); !r) return std::unexpected(r.error());
  const std::size_t n = state.n_nodes();
  const Sampler adaptive = [&] { return approximate_adaptive(state, oracle, options); };
  if (n <= kMaxEnumeratedNodes)
    return selected(exact_enumeration(state, oracle), method_name::kExact);
  if (state.is_rooted_tree())
    return tree_path(state, oracle, method_name::kApproxAdaptive, adaptive);
  if (n <= kMaxDenseNodes) return small_dag(state, oracle);
  if (n > kMaxSparseNodes) return selected(adaptive(), method_name::kApproxAdaptive);

  // Up to 63 nodes: the sparse DP when affordable, then uniform sampling,
  // then importance sampling when uniform counts overflow.
  std::optional<std::string> sparse_reason;
  Result<bool> few_ideals = ideals_at_most(state, kSparseIdealLimit);
  if (!few_ideals) return std::unexpected(std::move(few_ideals.error()));
  if (*few_ideals) {
    Result<AsvResult> r = sparse(state, oracle, n);
    if (r) return selected(std::move(r), method_name::kExactDagSparse);
    if (!sparse_fallback_eligible(r.error())) return r;
    sparse_reason = r.error().detail();
  }
  Result<AsvResult> uniform = approximate_uniform_sparse_adaptive(
      state, oracle, options, state.parent_masks(), kIdealMemoryBudget);
  if (uniform) {
    if (sparse_reason) {
      return selected(std::move(uniform), method_name::kUniformSparseAdaptive,
                      method_name::kExactDagSparse, *sparse_reason);
    }
    return selected(std::move(uniform), method_name::kUniformSparseAdaptive);
  }
  if (uniform.error().kind() != AsvError::Kind::kExtensionCountOverflow) return uniform;
  return selected(
      adaptive(), method_name::kApproxAdaptive,
      sparse_reason ? method_name::kExactDagSparse : method_name::kUniformSparseAdaptive,
      uniform.error().detail());
}

Result<AsvResult> select_quality_batch(const ExplainerState& state, BatchValueOracle& oracle,
                                       const AdaptiveOptions& options) {
  if (Result<void> r = state.graph().validate(); !r) return std::unexpected(r.error());
  if (state.n_nodes() > kMaxSparseNodes) {
    return selected(approximate_adaptive_batched(state, oracle, options),
                    method_name::kApproxAdaptiveBatch);
  }
  return selected(approximate_uniform_sparse_adaptive_batched(state, oracle, options,
                                                              state.parent_masks(),
                                                              kIdealMemoryBudget),
                  method_name::kUniformSparseAdaptiveBatch);
}

}  // namespace morvend

#include "dispatch/dispatch.hpp"

#include <array>
#include <string>
#include <utility>

#include "approx/approx.hpp"
#include "dag_dp/dag_dp.hpp"
#include "dag_dp_sparse/dag_dp_sparse.hpp"
#include "dispatch/policy.hpp"
#include "enumeration/enumeration.hpp"
#include "graph/limits.hpp"
#include "graph/method_names.hpp"
#include "topo/topo.hpp"
#include "tree/tree.hpp"

namespace morvend {

std::optional<Method> parse_method(std::string_view name) {
  static constexpr std::array<std::pair<std::string_view, Method>, 7> kNames{{
      {method_name::kAuto, Method::kAuto},
      {method_name::kExact, Method::kExact},
      {method_name::kApprox, Method::kApprox},
      {method_name::kExactDag, Method::kExactDag},
      {method_name::kExactTree, Method::kExactTree},
      {method_name::kUniformSparse, Method::kUniformSparse},
      {method_name::kExactDagSparse, Method::kExactDagSparse},
  }};
  for (const auto& [text, method] : kNames) {
    if (text == name) return method;
  }
  return std::nullopt;
}

Result<Method> method_named(std::string_view name) {
  if (std::optional<Method> method = parse_method(name)) return *method;
  return std::unexpected(AsvError::invalid_configuration(
      "unknown method '" + std::string(name) +
      "': use 'auto', 'approx', 'exact', 'exact_tree', 'exact_dag', "
      "'exact_dag_sparse', or 'uniform_sparse'"));
}

Result<void> check_batch_method(std::string_view name) {
  if (name == method_name::kAuto || name == method_name::kApprox) return {};
  return std::unexpected(AsvError::invalid_configuration(
      "value_fn_batch is only supported for method='approx' or 'auto'"));
}

Result<AsvResult> exact_tree_method(const ExplainerState& state, ValueOracle& oracle) {
  const Dag& g = state.graph();
  if (Result<void> r = g.validate(); !r) return std::unexpected(r.error());
  Result<NodeId> root = is_rooted_tree(g);
  if (!root) return std::unexpected(root.error());
  const TreeFeasibility f = tree_feasibility(g, *root, kTreeProductBudget, kTreeWorkBudget);
  if (!f.feasible) {
    return std::unexpected(AsvError::tree_budget_exceeded(f.largest_product, f.product_budget,
                                                          f.total_work, f.work_budget));
  }
  return exact_tree(state, oracle);
}

Result<AsvResult> dispatch_method(const ExplainerState& state, Method method, ValueOracle& oracle,
                                  const SamplingOptions& options) {
  const Dag& g = state.graph();
  const std::size_t n = state.n_nodes();
  switch (method) {
    case Method::kAuto:
      return select_auto(state, oracle, options);
    case Method::kExact:  // the engine validates and checks n <= 64 itself
      return exact_enumeration(state, oracle);
    case Method::kApprox:
      if (Result<void> r = g.validate(); !r) return std::unexpected(r.error());
      return approximate(state, oracle, options);
    case Method::kExactDag:  // the engine validates itself
      return exact_dag(state, oracle);
    case Method::kExactTree:
      return exact_tree_method(state, oracle);
    case Method::kUniformSparse:
      // Its own refusals come before the graph's.
      if (Result<void> r = check_uniform_sparse(n, options); !r) return std::unexpected(r.error());
      if (Result<void> r = g.validate(); !r) return std::unexpected(r.error());
      return approximate_uniform_sparse(state, oracle, options, state.parent_masks(),
                                        kIdealMemoryBudget);
    case Method::kExactDagSparse:
      if (Result<void> r = g.validate(); !r) return std::unexpected(r.error());
      return exact_dag_sparse(state, oracle, SparseOptions{});
  }
  throw InternalFault("unknown method");
}

Result<AsvResult> dispatch_batch(const ExplainerState& state, BatchValueOracle& oracle,
                                 const SamplingOptions& options) {
  if (Result<void> r = state.graph().validate(); !r) return std::unexpected(r.error());
  return approximate_batched(state, oracle, options);
}

Result<AdaptiveMethod> adaptive_method_named(std::string_view name) {
  if (name == method_name::kApprox) return AdaptiveMethod::kApprox;
  if (name == method_name::kUniformSparse) return AdaptiveMethod::kUniformSparse;
  return std::unexpected(AsvError::invalid_configuration(
      "unknown method '" + std::string(name) +
      "' for explain_adaptive: use 'approx' or 'uniform_sparse'"));
}

const char* adaptive_method_name(AdaptiveMethod method) {
  return method == AdaptiveMethod::kUniformSparse ? method_name::kUniformSparseAdaptive
                                                  : method_name::kApproxAdaptive;
}

Result<AsvResult> dispatch_adaptive(const ExplainerState& state, AdaptiveMethod method,
                                    ValueOracle& oracle, const AdaptiveOptions& options) {
  const bool uniform = method == AdaptiveMethod::kUniformSparse;
  // Its own refusal comes before the graph's.
  if (uniform) {
    if (Result<void> r = check_uniform_sparse_adaptive(state.n_nodes()); !r) {
      return std::unexpected(r.error());
    }
  }
  if (Result<void> r = state.graph().validate(); !r) return std::unexpected(r.error());
  if (uniform) {
    return approximate_uniform_sparse_adaptive(state, oracle, options, state.parent_masks(),
                                               kIdealMemoryBudget);
  }
  return approximate_adaptive(state, oracle, options);
}

Result<AsvResult> dispatch_adaptive_batch(const ExplainerState& state, BatchValueOracle& oracle,
                                          const AdaptiveOptions& options) {
  if (Result<void> r = state.graph().validate(); !r) return std::unexpected(r.error());
  return approximate_adaptive_batched(state, oracle, options);
}

}  // namespace morvend

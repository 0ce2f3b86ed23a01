#include "asv/dispatch.hpp"

#include <array>
#include <utility>

#include "asv/exact.hpp"
#include "dag_dp/dag_dp.hpp"
#include "dag_dp_sparse/dag_dp_sparse.hpp"
#include "topo/topo.hpp"
#include "tree/tree.hpp"

namespace morvend {

std::optional<Method> parse_method(std::string_view name) {
  static constexpr std::array<std::pair<std::string_view, Method>, 7> kNames{{
      {"auto", Method::kAuto},
      {"exact", Method::kExact},
      {"approx", Method::kApprox},
      {"exact_dag", Method::kExactDag},
      {"exact_tree", Method::kExactTree},
      {"uniform_sparse", Method::kUniformSparse},
      {"exact_dag_sparse", Method::kExactDagSparse},
  }};
  for (const auto& [text, method] : kNames) {
    if (text == name) return method;
  }
  return std::nullopt;
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
  (void)options;
  switch (method) {
    case Method::kExact:
      return exact_enumeration(state, oracle);
    case Method::kExactDag:
      return exact_dag(state, oracle);
    case Method::kExactTree:
      return exact_tree_method(state, oracle);
    case Method::kExactDagSparse:
      if (Result<void> r = state.graph().validate(); !r) return std::unexpected(r.error());
      return exact_dag_sparse(state, oracle, SparseOptions{});
    case Method::kAuto:
    case Method::kApprox:
    case Method::kUniformSparse:
      break;
  }
  throw InternalFault("method not built yet");
}

}  // namespace morvend

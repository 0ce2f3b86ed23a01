#include "asv/dispatch.hpp"

#include <array>
#include <utility>

#include "approx/approx.hpp"
#include "asv/exact.hpp"
#include "asv/policy.hpp"
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
      if (n >= 64) {
        return std::unexpected(AsvError::invalid_configuration(
            "approximate_uniform_sparse requires n \xe2\x89\xa4 63 (u64 bitmask), got " +
            std::to_string(n) + "; use approximate() for larger DAGs"));
      }
      if (options.n_samples == 0) {
        return std::unexpected(AsvError::invalid_configuration("n_samples must be > 0"));
      }
      if (Result<void> r = g.validate(); !r) return std::unexpected(r.error());
      return approximate_uniform_sparse(state, oracle, options, state.parent_masks(),
                                        kUniformMemoBudget);
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

}  // namespace morvend

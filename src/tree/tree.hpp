// Exact ASV of a rooted directed tree of at most 64 nodes by the hook-length
// formula, and the feasibility check that bounds its work beforehand.
//
// For each node F the engine lists every set P that can precede F in a linear
// extension and weights v(P + F) - v(P) by the exact probability that P is
// F's predecessor set, computed in logarithms (nothing can overflow).
//
//   TreeFeasibility f = tree_feasibility(g, root, 50000, 200000);
//   if (f.feasible) Result<AsvResult> r = exact_tree(state, oracle);
#pragma once

#include <cstdint>

#include "asv/explainer_state.hpp"
#include "asv/records.hpp"
#include "asv/value_oracle.hpp"
#include "graph/limits.hpp"

namespace morvend {

// TreeFeasibility: the report, fields in the order of the budget error.
struct TreeFeasibility {
  std::uint64_t largest_product = 0;  // most predecessor sets of one node
  std::uint64_t product_budget = 0;
  std::uint64_t total_work = 0;  // predecessor sets of all nodes
  std::uint64_t work_budget = 0;
  bool feasible = false;
};

// tree_feasibility: counts predecessor sets with saturating arithmetic, so
// trees of any size and shape get a meaningful report.
// REQUIRES: `root` is the root of the rooted tree `g`.
TreeFeasibility tree_feasibility(const Dag& g, NodeId root, std::uint64_t product_budget,
                                 std::uint64_t work_budget);

// exact_tree: the engine; NotRootedTree, then n <= 64. It does not check the
// budgets itself.
[[nodiscard]] Result<AsvResult> exact_tree(const ExplainerState& state, ValueOracle& oracle);

}  // namespace morvend

#include "tree/tree.hpp"

#include <cmath>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "common/engines.hpp"
#include "common/graphs.hpp"
#include "common/oracles.hpp"
#include "common/result_matchers.hpp"
#include "dag_dp_sparse/dag_dp_sparse.hpp"

namespace morvend {
namespace {

using testing::chain;
using testing::FailsWith;
using testing::IsOk;
using Kind = AsvError::Kind;
using testing::make_dag;
using testing::RecordingOracle;
using testing::state_of;

TreeFeasibility check(const Dag& g) {
  return tree_feasibility(g, 0, kTreeProductBudget, kTreeWorkBudget);
}

// Catches miscounted predecessor sets for the shapes whose counts are known.
TEST(TreeFeasibility, StarsAndChains) {
  TreeFeasibility f14 = check(testing::star(14));
  EXPECT_EQ(f14.largest_product, 8192u);
  EXPECT_EQ(f14.total_work, 114689u);
  EXPECT_TRUE(f14.feasible);
  TreeFeasibility f15 = check(testing::star(15));
  EXPECT_EQ(f15.largest_product, 16384u);
  EXPECT_EQ(f15.total_work, 245761u);
  EXPECT_FALSE(f15.feasible);
  TreeFeasibility c = check(chain(100));
  EXPECT_EQ(c.largest_product, 1u);
  EXPECT_EQ(c.total_work, 100u);
}

// Catches budgets compared strictly instead of allowing equality.
TEST(TreeFeasibility, BudgetsAllowEquality) {
  Dag g = testing::random_tree(30, 7);
  TreeFeasibility f = check(g);
  EXPECT_TRUE(tree_feasibility(g, 0, f.largest_product, f.total_work).feasible);
  EXPECT_FALSE(tree_feasibility(g, 0, f.largest_product - 1, f.total_work).feasible);
  EXPECT_FALSE(tree_feasibility(g, 0, f.largest_product, f.total_work - 1).feasible);
}

// Catches wrapping counts and recursion on huge trees: a million-node
// broom saturates instead of overflowing, and no stack is blown.
TEST(TreeFeasibility, SaturatesOnHugeTrees) {
  std::vector<std::pair<NodeId, NodeId>> edges;
  const NodeId n = 1'000'000;
  for (NodeId i = 1; i < n / 2; ++i) edges.emplace_back(i - 1, i);
  for (NodeId i = n / 2; i < n; ++i) edges.emplace_back(n / 2 - 1, i);
  TreeFeasibility f = check(make_dag(n, edges));
  EXPECT_EQ(f.largest_product, UINT64_MAX);
  EXPECT_EQ(f.total_work, UINT64_MAX);
  EXPECT_FALSE(f.feasible);
}

// Catches weights that do not sum to one or ignore the tree's shape:
// agreement with the sparse DP on trees too large for brute force.
TEST(TreeEngine, AgreesWithSparseDp) {
  for (std::uint64_t seed = 0; seed < 8; ++seed) {
    Dag g = testing::random_tree(10 + seed, seed);
    auto game = testing::random_game(seed);
    RecordingOracle a(game), b(game);
    Result<AsvResult> tree = exact_tree(state_of(g), a);
    Result<AsvResult> sparse = exact_dag_sparse(state_of(g), b, {});
    ASSERT_THAT(tree, IsOk());
    ASSERT_THAT(sparse, IsOk());
    EXPECT_LT(testing::max_relative_error(tree->values, sparse->values), 1e-9) << seed;
    EXPECT_EQ(tree->n_samples, 0u);
  }
}

// Catches leaves of a star not getting the symmetric Shapley value of the
// game restricted to leaf sets.
TEST(TreeEngine, StarLeavesGetShapleyValues) {
  std::vector<double> w{4.0, 1.0, -2.0, 0.5, 3.0};
  RecordingOracle oracle(testing::additive_game(w));
  Result<AsvResult> r = exact_tree(state_of(testing::star(4)), oracle);
  ASSERT_THAT(r, IsOk());
  EXPECT_LT(testing::max_relative_error(r->values, w), 1e-12);
}

// Catches limit checks out of order or after calls.
TEST(TreeEngine, Errors) {
  RecordingOracle oracle(testing::random_game(0));
  EXPECT_THAT(exact_tree(state_of(make_dag(3, {{0, 2}, {1, 2}})), oracle),
              FailsWith(Kind::kNotRootedTree, "graph is not a rooted directed tree"));
  EXPECT_THAT(exact_tree(state_of(make_dag(2, {})), oracle),
              FailsWith(Kind::kNotRootedTree, "graph is not a rooted directed tree"));
  EXPECT_THAT(exact_tree(state_of(chain(65)), oracle),
              FailsWith(Kind::kInvalidConfiguration,
                        "invalid configuration: bitmask coalitions require n \xe2\x89\xa4 64, "
                        "got 65"));
  EXPECT_TRUE(oracle.calls().empty());
  EXPECT_EQ(AsvError::tree_budget_exceeded(16384, 50000, 245761, 200000).message(),
            "exact_tree: tree shape exceeds the feasibility budget (largest single side-sibling "
            "product 16384 vs budget 50000; estimated total work 245761 vs budget 200000); use "
            "exact_dag_sparse or approx");
}

// Catches another call order than: nodes in id order, predecessor sets in
// product order, v(P + F) before v(P).
TEST(TreeEngine, CallOrder) {
  RecordingOracle oracle(testing::random_game(0));
  ASSERT_THAT(exact_tree(state_of(make_dag(3, {{0, 1}, {0, 2}})), oracle), IsOk());
  // F = 0: P = {}; F = 1: P = {0}, {0, 2}; F = 2: everything is cached.
  EXPECT_EQ(oracle.calls(), (std::vector<std::uint64_t>{0b001, 0b000, 0b011, 0b111, 0b101}));
}

// Catches a chain of 64 (the most a mask holds) being mishandled.
TEST(TreeEngine, ChainOf64) {
  auto game = testing::random_game(9);
  RecordingOracle oracle(game);
  Result<AsvResult> r = exact_tree(state_of(chain(64)), oracle);
  ASSERT_THAT(r, IsOk());
  EXPECT_EQ(oracle.calls().size(), 65u);
  EXPECT_NEAR(r->values[63], game(~std::uint64_t{0}) - game(~std::uint64_t{0} >> 1), 1e-12);
}

}  // namespace
}  // namespace morvend

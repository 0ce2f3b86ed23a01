#include "asv/exact.hpp"

#include <algorithm>
#include <cmath>

#include <gtest/gtest.h>

#include "asv/explainer_state.hpp"
#include "common/engines.hpp"
#include "common/graphs.hpp"
#include "common/oracles.hpp"

namespace morvend {
namespace {

using testing::chain;
using testing::error_text;
using testing::make_dag;
using testing::RecordingOracle;
using testing::state_of;

// Catches a copy that is not validated, shares the graph, or has wrong masks.
TEST(ExplainerState, BuildValidatesAndCopies) {
  EXPECT_EQ(error_text(ExplainerState::build(Dag())), "graph is empty");
  EXPECT_EQ(error_text(ExplainerState::build(make_dag(2, {{0, 1}, {1, 0}}))),
            "cycle detected in graph");
  Dag g = make_dag(3, {{0, 2}, {1, 2}});
  ExplainerState s = state_of(g);
  MORVEND_ASSERT_OK(g.add_edge(2, 0));
  EXPECT_EQ(s.graph().n_edges(), 2u);
  EXPECT_EQ(s.parent_masks(), (std::vector<std::uint64_t>{0, 0, 0b011}));
  EXPECT_FALSE(s.is_rooted_tree());
  EXPECT_TRUE(state_of(chain(5)).is_rooted_tree());
  EXPECT_TRUE(state_of(make_dag(64, {})).parent_masks().empty());
  EXPECT_EQ(state_of(make_dag(63, {})).parent_masks().size(), 63u);
}

// Catches any engine whose values differ from the definition.
TEST(ExactEngines, AgreeWithBruteForceOnRandomDags) {
  for (const auto& engine : testing::exact_engines()) {
    for (std::uint64_t seed = 0; seed < 25; ++seed) {
      const std::size_t n = 1 + seed % 8;
      Dag g = engine.trees_only ? testing::random_tree(n, seed)
                                : testing::random_dag(n, 0.1 + 0.05 * (seed % 7), seed);
      auto game = testing::random_game(seed);
      RecordingOracle oracle(game);
      Result<AsvResult> r = engine.run(state_of(g), oracle);
      ASSERT_TRUE(r) << engine.name << ": " << r.error().message();
      EXPECT_LT(testing::max_relative_error(r->values, testing::brute_force_asv(g, game)), 1e-9)
          << engine.name << " seed " << seed;
      EXPECT_TRUE(r->is_exact);
      EXPECT_FALSE(r->seed || r->ess || r->stderr_values || r->converged || r->selected_method);
      // One call per order ideal: the cache (or table) asks each coalition once.
      auto calls = oracle.calls();
      std::sort(calls.begin(), calls.end());
      EXPECT_EQ(calls, testing::order_ideals(g)) << engine.name << " seed " << seed;
    }
  }
}

// Catches values that do not telescope to v(all) - v(empty).
TEST(ExactEngines, ValuesSumToTheGrandCoalition) {
  Dag g = testing::random_tree(12, 3);
  auto game = testing::random_game(11);
  for (const auto& engine : testing::exact_engines()) {
    RecordingOracle oracle(game);
    Result<AsvResult> r = engine.run(state_of(g), oracle);
    ASSERT_TRUE(r) << engine.name;
    double sum = 0.0;
    for (double v : r->values) sum += v;
    EXPECT_NEAR(sum, game((1u << 12) - 1) - game(0), 1e-9) << engine.name;
  }
}

// Catches a failure that is swallowed or that leaves partial values.
TEST(ExactEngines, ValueFunctionErrorStopsAtOnce) {
  Dag g = testing::random_dag(6, 0.3, 4);
  for (const auto& engine : testing::exact_engines()) {
    if (engine.trees_only) continue;
    RecordingOracle oracle(testing::random_game(1), /*fail_at=*/2);
    Result<AsvResult> r = engine.run(state_of(g), oracle);
    EXPECT_EQ(error_text(r), "value function error: RuntimeError: boom") << engine.name;
    EXPECT_EQ(oracle.calls().size(), 3u) << engine.name;
  }
}

// Catches a call order other than the walk's: v(prefix + x) before v(prefix).
TEST(Enumeration, CallOrderFollowsTheOrders) {
  RecordingOracle oracle(testing::random_game(0));
  Result<AsvResult> r = exact_enumeration(state_of(make_dag(3, {})), oracle);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->n_samples, 6u);
  // Orders 012, 021, 102, 120, 201, 210; each new coalition when first needed.
  EXPECT_EQ(oracle.calls(),
            (std::vector<std::uint64_t>{0b001, 0b000, 0b011, 0b111, 0b101, 0b010, 0b110, 0b100}));
}

// Catches a chain walked with more than its single order.
TEST(Enumeration, ChainHasOneOrder) {
  auto game = testing::random_game(5);
  RecordingOracle oracle(game);
  Result<AsvResult> r = exact_enumeration(state_of(chain(5)), oracle);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->n_samples, 1u);
  EXPECT_EQ(r->values[3], game(0b1111) - game(0b111));
}

// Catches the limits being checked late (after calls) or with the wrong text.
TEST(Enumeration, Limits) {
  RecordingOracle oracle(testing::random_game(0));
  EXPECT_EQ(error_text(exact_enumeration(state_of(make_dag(65, {})), oracle)),
            "invalid configuration: bitmask coalitions require n \xe2\x89\xa4 64, got 65");
  // 11 isolated nodes: 39916800 orders, over the limit; 10 are 3628800.
  EXPECT_EQ(error_text(exact_enumeration(state_of(make_dag(11, {})), oracle)),
            "invalid configuration: exact enumerates every linear extension and accepts at "
            "most 10000000 of them; this DAG has more: use 'exact_dag_sparse' or 'approx'");
  EXPECT_TRUE(oracle.calls().empty());
  // 64 nodes in a chain are fine: one order.
  EXPECT_TRUE(exact_enumeration(state_of(chain(64)), oracle));
}

// Catches a NaN result asked again (the hash cache keeps NaN).
TEST(Enumeration, NanIsCachedLikeAnyValue) {
  RecordingOracle oracle([](std::uint64_t m) { return m == 0b01 ? NAN : 1.0; });
  Result<AsvResult> r = exact_enumeration(state_of(make_dag(2, {})), oracle);
  ASSERT_TRUE(r);
  EXPECT_EQ(std::count(oracle.calls().begin(), oracle.calls().end(), 0b01u), 1);
  EXPECT_TRUE(std::isnan(r->values[0]));
}

}  // namespace
}  // namespace morvend

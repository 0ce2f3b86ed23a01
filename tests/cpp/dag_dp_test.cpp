#include "dag_dp/dag_dp.hpp"

#include <algorithm>
#include <cmath>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "common/engines.hpp"
#include "common/graphs.hpp"
#include "common/oracles.hpp"
#include "common/result_matchers.hpp"

namespace morvend {
namespace {

using testing::FailsWith;
using testing::IsOk;
using Kind = AsvError::Kind;
using testing::make_dag;
using testing::RecordingOracle;
using testing::state_of;

// Catches the size check coming after allocation or a call.
TEST(DenseDp, NodeLimit) {
  RecordingOracle oracle(testing::random_game(0));
  EXPECT_THAT(exact_dag(state_of(make_dag(21, {})), oracle),
              FailsWith(Kind::kInvalidConfiguration,
                        "invalid configuration: exact_dag requires n \xe2\x89\xa4 20 (2^n DP "
                        "states), got 21"));
  EXPECT_TRUE(oracle.calls().empty());
}

// Catches a wrong first-evaluation order: empty set, then extensions of
// the ideals in increasing numeric order.
TEST(DenseDp, CallOrderAndSamples) {
  RecordingOracle oracle(testing::random_game(0));
  // 0 -> 2, 1 isolated.
  Result<AsvResult> r = exact_dag(state_of(make_dag(3, {{0, 2}})), oracle);
  ASSERT_THAT(r, IsOk());
  EXPECT_EQ(r->n_samples, 8u);
  EXPECT_EQ(oracle.calls(), (std::vector<std::uint64_t>{0b000, 0b001, 0b010, 0b011, 0b101,
                                                        0b111}));
}

// Catches 20 nodes being refused or the edgeless case drifting from Shapley.
TEST(DenseDp, TwentyIsolatedNodesAreSymmetricShapley) {
  std::vector<double> weights(20);
  for (std::size_t i = 0; i < 20; ++i) weights[i] = 0.5 * static_cast<double>(i) - 3.0;
  RecordingOracle oracle(testing::additive_game(weights));
  Result<AsvResult> r = exact_dag(state_of(make_dag(20, {})), oracle);
  ASSERT_THAT(r, IsOk());
  EXPECT_EQ(oracle.calls().size(), std::size_t{1} << 20);
  EXPECT_LT(testing::max_relative_error(r->values, weights), 1e-12);
}

// Catches NaN being cached: NaN marks an empty table entry, so it is asked again.
TEST(DenseDp, NanIsAskedAgain) {
  RecordingOracle oracle([](std::uint64_t m) { return m == 0b01 ? NAN : 1.0; });
  Result<AsvResult> r = exact_dag(state_of(make_dag(2, {})), oracle);
  ASSERT_THAT(r, IsOk());
  EXPECT_EQ(std::count(oracle.calls().begin(), oracle.calls().end(), 0b01u), 2);
  EXPECT_TRUE(std::isnan(r->values[0]) && std::isnan(r->values[1]));
}

// Catches agreement only on tiny graphs: dense and sparse on 12 to 16 nodes.
TEST(DenseDp, AgreesWithSparseOnLargerDags) {
  for (std::uint64_t seed = 0; seed < 6; ++seed) {
    Dag g = testing::random_dag(12 + seed % 5, 0.15, seed);
    auto game = testing::random_game(seed);
    RecordingOracle a(game), b(game);
    Result<AsvResult> dense = exact_dag(state_of(g), a);
    auto sparse = testing::exact_engines()[2].run(state_of(g), b);
    ASSERT_THAT(dense, IsOk());
    ASSERT_THAT(sparse, IsOk());
    EXPECT_LT(testing::max_relative_error(dense->values, sparse->values), 1e-9);
  }
}

}  // namespace
}  // namespace morvend

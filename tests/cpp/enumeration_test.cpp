#include "enumeration/enumeration.hpp"

#include <algorithm>
#include <cmath>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "common/engines.hpp"
#include "common/graphs.hpp"
#include "common/interrupts.hpp"
#include "common/oracles.hpp"
#include "common/result_matchers.hpp"

namespace morvend {
namespace {

using testing::chain;
using testing::FailsWith;
using testing::IsOk;
using Kind = AsvError::Kind;
using testing::make_dag;
using testing::RecordingOracle;
using testing::SharedOracle;
using testing::state_of;
using testing::TripSource;

// Catches a call order other than the walk's: v(prefix + x) before v(prefix).
TEST(Enumeration, CallOrderFollowsTheOrders) {
  RecordingOracle oracle(testing::random_game(0));
  Result<AsvResult> r = exact_enumeration(state_of(make_dag(3, {})), oracle);
  ASSERT_THAT(r, IsOk());
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
  ASSERT_THAT(r, IsOk());
  EXPECT_EQ(r->n_samples, 1u);
  EXPECT_EQ(r->values[3], game(0b1111) - game(0b111));
}

// Catches the limits being checked late (after calls) or with the wrong text.
TEST(Enumeration, Limits) {
  RecordingOracle oracle(testing::random_game(0));
  EXPECT_THAT(exact_enumeration(state_of(make_dag(65, {})), oracle),
              FailsWith(Kind::kInvalidConfiguration,
                        "invalid configuration: bitmask coalitions require n \xe2\x89\xa4 64, "
                        "got 65"));
  // 11 isolated nodes: 39916800 orders, over the limit; 10 are 3628800.
  EXPECT_THAT(exact_enumeration(state_of(make_dag(11, {})), oracle),
              FailsWith(Kind::kInvalidConfiguration,
                        "invalid configuration: exact enumerates every linear extension and "
                        "accepts at most 10000000 of them; this DAG has more: use "
                        "'exact_dag_sparse' or 'approx'"));
  EXPECT_TRUE(oracle.calls().empty());
  // 64 nodes in a chain are fine: one order.
  EXPECT_THAT(exact_enumeration(state_of(chain(64)), oracle), IsOk());
}

// Catches a NaN result asked again (the hash cache keeps NaN).
TEST(Enumeration, NanIsCachedLikeAnyValue) {
  RecordingOracle oracle([](std::uint64_t m) { return m == 0b01 ? NAN : 1.0; });
  Result<AsvResult> r = exact_enumeration(state_of(make_dag(2, {})), oracle);
  ASSERT_THAT(r, IsOk());
  EXPECT_EQ(std::count(oracle.calls().begin(), oracle.calls().end(), 0b01u), 1);
  EXPECT_TRUE(std::isnan(r->values[0]));
}
}  // namespace
}  // namespace morvend

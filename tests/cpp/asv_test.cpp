#include "asv/explainer_state.hpp"

#include <algorithm>
#include <cmath>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "asv/completion_count.hpp"
#include "asv/ideal_levels.hpp"
#include "asv/records.hpp"
#include "asv/refusals.hpp"
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

// Catches a wrong rational approximation of the normal quantile.
TEST(NormalQuantile, AbramowitzStegun) {
  EXPECT_NEAR(normal_quantile(0.975), 1.96039, 5e-6);
  EXPECT_NEAR(normal_quantile(0.95), 1.64521, 5e-6);
  EXPECT_NEAR(normal_quantile(0.995), 2.57624, 5e-6);
  EXPECT_NEAR(normal_quantile(0.5), 0.0, 4.5e-4);
}

// Catches bounds built from the wrong quantile, swapped, or read from missing
// standard errors; a NaN standard error leaves its node's bounds NaN.
TEST(AsvResult, IntervalIsValuePlusMinusQuantileTimesStderr) {
  AsvResult r;
  r.values = {1.0, -2.0, 0.5};
  const AsvResult::Interval none = r.interval(0.95);
  EXPECT_EQ(none.low, r.values);
  EXPECT_EQ(none.high, r.values);

  r.stderr_values = std::vector<double>{0.1, 0.0, std::nan("")};
  const double z = normal_quantile(0.975);
  const AsvResult::Interval ci = r.interval(0.95);
  EXPECT_THAT(ci.low, ::testing::ElementsAre(1.0 - z * 0.1, -2.0, ::testing::IsNan()));
  EXPECT_THAT(ci.high, ::testing::ElementsAre(1.0 + z * 0.1, -2.0, ::testing::IsNan()));
  EXPECT_NEAR(r.interval(0.99).high[0], 1.0 + 0.257624, 1e-6);
}

// Catches an option check that lets 0 or a level outside (0, 1) through, or
// whose text differs from the one users see.
TEST(OptionChecks, PositiveCountsAndCiLevels) {
  EXPECT_THAT(check_positive(1, "n_samples"), IsOk());
  EXPECT_THAT(check_positive(0, "n_samples"),
              FailsWith(Kind::kInvalidConfiguration, "invalid configuration: n_samples must be > 0"));
  EXPECT_THAT(check_ci_level(std::nullopt), IsOk());
  for (double ok : {1e-300, 0.5, 0.999999}) EXPECT_THAT(check_ci_level(ok), IsOk()) << ok;
  for (double bad : {0.0, 1.0, -0.5, 1.5, std::nan(""), HUGE_VAL}) {
    EXPECT_THAT(check_ci_level(bad),
                FailsWith(Kind::kInvalidConfiguration,
                          "invalid configuration: ci must be in (0, 1), e.g. ci=0.95 for a 95% "
                          "interval"))
        << bad;
  }
}

// Catches a copy that is not validated, shares the graph, or has wrong masks.
TEST(ExplainerState, BuildValidatesAndCopies) {
  EXPECT_THAT(ExplainerState::build(Dag()), FailsWith(Kind::kEmptyGraph, "graph is empty"));
  EXPECT_THAT(ExplainerState::build(make_dag(2, {{0, 1}, {1, 0}})),
              FailsWith(Kind::kCycle, "cycle detected in graph"));
  Dag g = make_dag(3, {{0, 2}, {1, 2}});
  ExplainerState s = state_of(g);
  ASSERT_THAT(g.add_edge(2, 0), IsOk());
  EXPECT_EQ(s.graph().n_edges(), 2u);
  EXPECT_EQ(s.parent_masks(), (std::vector<std::uint64_t>{0, 0, 0b011}));
  EXPECT_FALSE(s.is_rooted_tree());
  EXPECT_TRUE(state_of(chain(5)).is_rooted_tree());
  EXPECT_TRUE(state_of(make_dag(64, {})).parent_masks().empty());
  EXPECT_EQ(state_of(make_dag(63, {})).parent_masks().size(), 63u);
}

// Catches a memo that is not used or an overflow that is not reported.
TEST(CompletionCount, MemoisedAndChecked) {
  CompletionMemo memo;
  const auto pm = parent_masks_of(make_dag(4, {{0, 1}, {0, 2}, {1, 3}, {2, 3}}));
  EXPECT_EQ(completion_count(0b1111, pm, memo).value().value(), 2u);
  EXPECT_EQ(completion_count(0, pm, memo).value().value(), 1u);
  EXPECT_EQ(memo.size(), 5u);  // the non-empty up-sets
  EXPECT_FALSE(memo.contains(0));
  CompletionMemo big;
  const auto wide = parent_masks_of(make_dag(21, {}));
  EXPECT_THAT(completion_count((1u << 21) - 1, wide, big),
              FailsWith(Kind::kExtensionCountOverflow,
                        count_overflow("dp_ind", (1u << 21) - 1).message()));
}

// A full memo is a signal of its own, not an overflow: the uniform sampler
// turns it into its budget error, while a real overflow keeps its text.
TEST(CompletionCount, FullMemoIsNotAnError) {
  const auto pm = parent_masks_of(make_dag(6, {}));
  CompletionMemo memo;
  Result<std::optional<std::uint64_t>> capped = completion_count(0b111111, pm, memo, 10);
  ASSERT_THAT(capped, IsOk());
  EXPECT_FALSE(capped->has_value());
  EXPECT_LE(memo.size(), 10u);
  CompletionMemo roomy;
  EXPECT_EQ(completion_count(0b111111, pm, roomy, 63).value(), std::optional<std::uint64_t>(720));
}
}  // namespace
}  // namespace morvend

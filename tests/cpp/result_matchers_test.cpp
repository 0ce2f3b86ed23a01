#include "common/result_matchers.hpp"

#include <string>
#include <utility>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace morvend {
namespace {

using ::testing::AllOf;
using ::testing::HasSubstr;
using ::testing::Not;
using testing::FailsWith;
using testing::IsOk;
using Kind = AsvError::Kind;

// explained: whether `matcher` accepts `r`, and what it says about it.
template <class M, class R>
std::pair<bool, std::string> explained(const M& matcher, const R& r) {
  ::testing::StringMatchResultListener listener;
  const bool matched = ::testing::ExplainMatchResult(matcher, r, &listener);
  return {matched, listener.str()};
}

// Catches matchers that accept the wrong side of a result, ignore the kind or
// the message, or work for one of Result<void> and Result<T> only.
TEST(ResultMatchers, AcceptAndRejectWhatTheyShould) {
  const Result<void> ok;
  const Result<int> value = 3;
  const Result<void> cycle = std::unexpected(AsvError::cycle());
  const Result<int> bad_option =
      std::unexpected(AsvError::invalid_configuration("n_samples must be > 0"));

  EXPECT_THAT(ok, IsOk());
  EXPECT_THAT(value, IsOk());
  EXPECT_THAT(cycle, Not(IsOk()));
  EXPECT_THAT(bad_option, Not(IsOk()));

  EXPECT_THAT(ok, Not(FailsWith(Kind::kCycle)));
  EXPECT_THAT(value, Not(FailsWith(Kind::kInvalidConfiguration)));
  EXPECT_THAT(cycle, FailsWith(Kind::kCycle));
  EXPECT_THAT(cycle, Not(FailsWith(Kind::kEmptyGraph)));
  EXPECT_THAT(bad_option, FailsWith(Kind::kInvalidConfiguration, HasSubstr("n_samples")));
  EXPECT_THAT(bad_option, Not(FailsWith(Kind::kInvalidConfiguration, HasSubstr("batch"))));
  EXPECT_THAT(bad_option, Not(FailsWith(Kind::kValueFunction, HasSubstr("n_samples"))));
  // A plain string is the whole message, prefix included.
  EXPECT_THAT(bad_option, FailsWith(Kind::kInvalidConfiguration,
                                    "invalid configuration: n_samples must be > 0"));
  EXPECT_THAT(bad_option, Not(FailsWith(Kind::kInvalidConfiguration, "n_samples must be > 0")));
}

// Catches a failure that does not say which error the result held.
TEST(ResultMatchers, ExplainTheErrorsKindAndMessage) {
  const Result<void> dup = std::unexpected(AsvError::duplicate_edge(0, 1));
  const auto [ok, why_not_ok] = explained(IsOk(), dup);
  EXPECT_FALSE(ok);
  EXPECT_EQ(why_not_ok, "of kind kDuplicateEdge: \"duplicate edge NodeId(0) -> NodeId(1)\"");

  const auto [same, why_not_kind] = explained(FailsWith(Kind::kCycle), dup);
  EXPECT_FALSE(same);
  EXPECT_THAT(why_not_kind, HasSubstr("kDuplicateEdge"));

  EXPECT_THAT(::testing::DescribeMatcher<Result<void>>(FailsWith(Kind::kCycle, HasSubstr("loop"))),
              AllOf(HasSubstr("kCycle"), HasSubstr("\"loop\"")));
  EXPECT_EQ(::testing::PrintToString(dup), "an error");
  EXPECT_EQ(::testing::PrintToString(Result<std::vector<int>>{}), "a value");
}

}  // namespace
}  // namespace morvend

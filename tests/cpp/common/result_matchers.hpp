// Test-only GoogleMock matchers for Result<T>, Result<void> included.
//
//   EXPECT_THAT(g.add_edge(0, 1), IsOk());
//   ASSERT_THAT(r, IsOk()) << engine.name;   // later lines read *r
//   EXPECT_THAT(r, FailsWith(AsvError::Kind::kCycle));
//   EXPECT_THAT(r, FailsWith(AsvError::Kind::kInvalidConfiguration, HasSubstr("n_samples")));
//   EXPECT_THAT(r, FailsWith(AsvError::Kind::kEmptyGraph, "graph is empty"));  // whole message
//
// A failure names the error's kind and prints its message, so a test needs
// no hand-written explanation of what went wrong.
#pragma once

#include <expected>
#include <optional>
#include <ostream>
#include <string>
#include <utility>

#include <gmock/gmock.h>

#include "graph/asv_error.hpp"

namespace morvend {

namespace testing {

inline const char* kind_name(AsvError::Kind kind) {
  using K = AsvError::Kind;
  switch (kind) {
    case K::kCycle: return "kCycle";
    case K::kInvalidNodeId: return "kInvalidNodeId";
    case K::kSelfLoop: return "kSelfLoop";
    case K::kDuplicateEdge: return "kDuplicateEdge";
    case K::kEmptyGraph: return "kEmptyGraph";
    case K::kNotRootedTree: return "kNotRootedTree";
    case K::kValueFunction: return "kValueFunction";
    case K::kInvalidConfiguration: return "kInvalidConfiguration";
    case K::kExtensionCountOverflow: return "kExtensionCountOverflow";
    case K::kTreeBudgetExceeded: return "kTreeBudgetExceeded";
    case K::kConflictingEdge: return "kConflictingEdge";
    case K::kNoConsistentExtension: return "kNoConsistentExtension";
    case K::kHullNoFixedPoint: return "kHullNoFixedPoint";
    case K::kInterrupted: return "kInterrupted";
  }
  return "<unknown AsvError kind>";
}

}  // namespace testing

// Printers found by argument-dependent lookup: GoogleTest would otherwise
// print kinds as numbers and results as raw bytes.
inline void PrintTo(AsvError::Kind kind, std::ostream* os) { *os << testing::kind_name(kind); }

inline void PrintTo(const AsvError& e, std::ostream* os) {
  *os << testing::kind_name(e.kind()) << " \"" << e.message() << "\"";
}

// The value itself is left out: many of them (AsvResult, lattices) have no
// printer and would come out as a byte dump.
template <class T>
void PrintTo(const Result<T>& r, std::ostream* os) {
  *os << (r ? "a value" : "an error");
}

namespace testing {

namespace detail {

inline void explain_error(const AsvError& e, ::testing::MatchResultListener* listener) {
  *listener << "of kind " << kind_name(e.kind()) << ": \"" << e.message() << "\"";
}

class IsOkMatcher {
 public:
  template <class T>
  bool MatchAndExplain(const std::expected<T, AsvError>& r,
                       ::testing::MatchResultListener* listener) const {
    if (r) return true;
    explain_error(r.error(), listener);
    return false;
  }
  void DescribeTo(std::ostream* os) const { *os << "holds a value"; }
  void DescribeNegationTo(std::ostream* os) const { *os << "holds an error"; }
};

class FailsWithMatcher {
 public:
  using MessageMatcher = ::testing::Matcher<const std::string&>;

  FailsWithMatcher(AsvError::Kind kind, std::optional<MessageMatcher> message)
      : kind_(kind), message_(std::move(message)) {}

  template <class T>
  bool MatchAndExplain(const std::expected<T, AsvError>& r,
                       ::testing::MatchResultListener* listener) const {
    if (r) return false;  // "a value" is already printed as the actual
    const AsvError& e = r.error();
    explain_error(e, listener);
    if (e.kind() != kind_) return false;
    if (!message_) return true;
    ::testing::StringMatchResultListener inner;
    const bool matched = message_->MatchAndExplain(e.message(), &inner);
    if (!inner.str().empty()) *listener << ", " << inner.str();
    return matched;
  }
  void DescribeTo(std::ostream* os) const {
    *os << "holds an error of kind " << kind_name(kind_);
    if (message_) {
      *os << " whose message ";
      message_->DescribeTo(os);
    }
  }
  void DescribeNegationTo(std::ostream* os) const {
    *os << "holds a value, or an error not of kind " << kind_name(kind_);
    if (message_) {
      *os << ", or one whose message ";
      message_->DescribeNegationTo(os);
    }
  }

 private:
  AsvError::Kind kind_;
  std::optional<MessageMatcher> message_;
};

}  // namespace detail

// IsOk: the result holds a value (for Result<void>: succeeded).
inline ::testing::PolymorphicMatcher<detail::IsOkMatcher> IsOk() {
  return ::testing::MakePolymorphicMatcher(detail::IsOkMatcher());
}

// FailsWith: the result holds an error of `kind`, and its whole message
// (prefix included) matches `message`: a matcher such as HasSubstr, or a
// string the message must equal.
template <class M>
::testing::PolymorphicMatcher<detail::FailsWithMatcher> FailsWith(AsvError::Kind kind,
                                                                   M message) {
  return ::testing::MakePolymorphicMatcher(detail::FailsWithMatcher(
      kind, ::testing::MatcherCast<const std::string&>(std::move(message))));
}

inline ::testing::PolymorphicMatcher<detail::FailsWithMatcher> FailsWith(AsvError::Kind kind) {
  return ::testing::MakePolymorphicMatcher(detail::FailsWithMatcher(kind, std::nullopt));
}

}  // namespace testing
}  // namespace morvend

// AsvError: the one error type of the system, and Result<T>.
//
// Every fallible operation of the core returns Result<T>; nothing in the graph
// code or the engines throws an AsvError. The 13 kinds users see have fixed
// message texts; three of them carry a free text (ValueFunction,
// InvalidConfiguration, ExtensionCountOverflow), the others carry ids or
// numbers only. A fourteenth, Interrupted, ends a computation that was asked
// to stop (see graph/interrupt.hpp); the binding raises the exception behind
// the request instead of its text.
//
//   Result<void> r = dag.add_edge(a, b);
//   if (!r) return std::unexpected(r.error());
//   std::string text = r.error().message();  // "self-loop on node NodeId(0)"
#pragma once

#include <array>
#include <cstdint>
#include <expected>
#include <stdexcept>
#include <string>

namespace morvend {

// NodeId: dense index in insertion order; the first node added is 0.
using NodeId = std::uint32_t;

class AsvError {
 public:
  enum class Kind {
    kCycle,                   // a directed cycle where acyclicity is required
    kInvalidNodeId,           // an id >= n handed to an operation
    kSelfLoop,                // an edge from a node to itself
    kDuplicateEdge,           // the same edge inserted twice
    kEmptyGraph,              // an operation that needs at least one node
    kNotRootedTree,           // the rooted-tree test failed
    kValueFunction,           // the user's value function failed (rendered text)
    kInvalidConfiguration,    // options or limits refused (detail text)
    kExtensionCountOverflow,  // a u64 count of linear extensions overflowed
    kTreeBudgetExceeded,      // the tree engine's feasibility budgets
    kConflictingEdge,         // a PDAG edge clashing with an existing one
    kNoConsistentExtension,   // a PDAG without a consistent DAG extension
    kHullNoFixedPoint,        // a hull loop exceeded its pass bound (a bug)
    kInterrupted,             // asked to stop: Ctrl-C, or the pool run it serves stopped
  };

  static AsvError cycle() { return AsvError(Kind::kCycle); }
  static AsvError invalid_node_id(NodeId id) { return AsvError(Kind::kInvalidNodeId, {id}); }
  static AsvError self_loop(NodeId id) { return AsvError(Kind::kSelfLoop, {id}); }
  static AsvError duplicate_edge(NodeId from, NodeId to) {
    return AsvError(Kind::kDuplicateEdge, {from, to});
  }
  static AsvError empty_graph() { return AsvError(Kind::kEmptyGraph); }
  static AsvError not_rooted_tree() { return AsvError(Kind::kNotRootedTree); }
  static AsvError value_function(std::string text) {
    return AsvError(Kind::kValueFunction, {}, std::move(text));
  }
  static AsvError invalid_configuration(std::string text) {
    return AsvError(Kind::kInvalidConfiguration, {}, std::move(text));
  }
  static AsvError extension_count_overflow(std::string text) {
    return AsvError(Kind::kExtensionCountOverflow, {}, std::move(text));
  }
  // a: largest side-sibling product, b: its budget, c: estimated work, d: its budget.
  static AsvError tree_budget_exceeded(std::uint64_t a, std::uint64_t b, std::uint64_t c,
                                       std::uint64_t d) {
    return AsvError(Kind::kTreeBudgetExceeded, {a, b, c, d});
  }
  static AsvError conflicting_edge(NodeId a, NodeId b) {
    return AsvError(Kind::kConflictingEdge, {a, b});
  }
  static AsvError no_consistent_extension() { return AsvError(Kind::kNoConsistentExtension); }
  static AsvError hull_no_fixed_point() { return AsvError(Kind::kHullNoFixedPoint); }
  static AsvError interrupted() { return AsvError(Kind::kInterrupted); }

  Kind kind() const { return kind_; }
  // The free text of the three text-carrying kinds; empty for the others.
  const std::string& detail() const { return text_; }
  // The full message, prefix included; never ends with a full stop or newline.
  std::string message() const;

  friend bool operator==(const AsvError&, const AsvError&) = default;

 private:
  explicit AsvError(Kind kind, std::array<std::uint64_t, 4> numbers = {}, std::string text = {})
      : kind_(kind), numbers_(numbers), text_(std::move(text)) {}

  Kind kind_;
  std::array<std::uint64_t, 4> numbers_;
  std::string text_;
};

// Result: a value or the AsvError that prevented it. Ignoring one is a
// compile error (-Werror=unused-result): an unchecked error is a lost one.
template <class T>
class [[nodiscard]] Result : public std::expected<T, AsvError> {
  using Base = std::expected<T, AsvError>;

 public:
  using Base::Base;
  Result() = default;
  // From the std::expected that and_then, transform and friends return.
  Result(Base other) : Base(std::move(other)) {}
};

// InternalFault: a broken invariant inside the system (an id out of range, an
// impossible state). The only exception the core throws; the Python boundary
// turns it into the module's internal-fault exception, never into ValueError.
class InternalFault : public std::logic_error {
 public:
  using std::logic_error::logic_error;
};

}  // namespace morvend

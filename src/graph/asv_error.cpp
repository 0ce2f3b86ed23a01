#include "graph/asv_error.hpp"

#include <string>

namespace morvend {
namespace {

std::string id_text(std::uint64_t id) { return "NodeId(" + std::to_string(id) + ")"; }

}  // namespace

std::string AsvError::message() const {
  const auto& v = numbers_;
  switch (kind_) {
    case Kind::kCycle:
      return "cycle detected in graph";
    case Kind::kInvalidNodeId:
      return "invalid node id: " + id_text(v[0]);
    case Kind::kSelfLoop:
      return "self-loop on node " + id_text(v[0]);
    case Kind::kDuplicateEdge:
      return "duplicate edge " + id_text(v[0]) + " -> " + id_text(v[1]);
    case Kind::kEmptyGraph:
      return "graph is empty";
    case Kind::kNotRootedTree:
      return "graph is not a rooted directed tree";
    case Kind::kValueFunction:
      return "value function error: " + text_;
    case Kind::kInvalidConfiguration:
      return "invalid configuration: " + text_;
    case Kind::kExtensionCountOverflow:
      return "linear extension count overflowed u64: " + text_;
    case Kind::kTreeBudgetExceeded:
      return "exact_tree: tree shape exceeds the feasibility budget (largest single "
             "side-sibling product " +
             std::to_string(v[0]) + " vs budget " + std::to_string(v[1]) +
             "; estimated total work " + std::to_string(v[2]) + " vs budget " +
             std::to_string(v[3]) + "); use exact_dag_sparse or approx";
    case Kind::kConflictingEdge:
      return "conflicting edge between " + id_text(v[0]) + " and " + id_text(v[1]) +
             ": an edge with a different orientation already exists";
    case Kind::kNoConsistentExtension:
      return "PDAG has no consistent DAG extension (undirected edges can't be oriented "
             "without creating a cycle or a new v-structure)";
    case Kind::kHullNoFixedPoint:
      return "d-convex hull computation did not reach a fixed point within the expected "
             "iteration bound; this indicates an implementation bug";
    case Kind::kInterrupted:
      return "interrupted";
  }
  throw InternalFault("unknown AsvError kind");
}

}  // namespace morvend

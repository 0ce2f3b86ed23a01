// d-convex hulls and induced subgraphs: shrinking a causal model to a subset
// of its variables.
//
// The d-convex hull of W is the smallest superset of W in which no two
// non-adjacent border nodes are linked, in the moral graph of their ancestral
// set, through marginalised variables. The strong hull also closes W under
// the parents of colliders among W's ancestors; it is the minimal set that
// preserves a causal-effect estimate after marginalising out everything else.
// Both hulls are deterministic: candidates are examined in the insertion
// order of the growing set (the requested ids, then each pass's additions),
// and they only use explicit queues, so graph size never threatens the stack.
// Each examined pair costs time linear in its ancestral set. All three
// operations can be stopped (graph/interrupt.hpp): they then return
// Interrupted and nothing else.
//
//   Result<std::vector<NodeId>> h = d_convex_hull(g, ids);   // insertion order
//   Result<Dag> sub = induced_subgraph(g, ids);              // ids ascend as in g
#pragma once

#include <span>
#include <vector>

#include "d_convex/node_set.hpp"
#include "graph/dag.hpp"

namespace morvend {

// d_convex_hull: the hull of `ids` (repeats ignored), in insertion order.
// InvalidNodeId for the first id >= n; HullNoFixedPoint if n + 1 passes do
// not settle (a bug, never expected).
[[nodiscard]] Result<std::vector<NodeId>> d_convex_hull(const Dag& g, std::span<const NodeId> ids);

// strong_d_convex_hull: the strong hull of `ids`, in insertion order; the
// same errors as d_convex_hull.
[[nodiscard]] Result<std::vector<NodeId>> strong_d_convex_hull(const Dag& g,
                                                               std::span<const NodeId> ids);

// induced_subgraph: a new Dag holding the nodes `ids` (repeats harmless) in
// ascending source id and the edges among them, each node's children in
// source order. InvalidNodeId for the first id >= n, before anything is built.
// When `kept` is given it receives the source id of each new node, in new id
// order (callers carry per-node data over with it).
[[nodiscard]] Result<Dag> induced_subgraph(const Dag& g, std::span<const NodeId> ids,
                                           std::vector<NodeId>* kept = nullptr);

}  // namespace morvend

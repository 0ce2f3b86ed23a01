// Structural queries on a Dag: rooted-tree test, longest-path layers,
// ancestors and descendants, every linear extension, the inspect() summary.
//
// All of them only read the graph and run in time linear in nodes plus edges,
// except the enumeration of linear extensions (their number times n). None
// recurses, so graphs of millions of nodes are fine.
//
//   auto layers = topological_layers(g);          // layer 0 = nodes without parents
//   Result<NodeId> root = is_rooted_tree(g);      // or NotRootedTree
//   StructuralSummary s = inspect(g);
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "graph/dag.hpp"

namespace morvend {

// is_rooted_tree: the single node without parents when every other node has
// exactly one parent; NotRootedTree otherwise (the empty graph included).
// NOTE: does not look for cycles; meant for validated graphs.
[[nodiscard]] Result<NodeId> is_rooted_tree(const Dag& g);

// topological_layers: layer k holds the nodes whose longest path from a node
// without parents has k edges, each layer in ascending NodeId. Nodes on or
// below a cycle are in no layer.
std::vector<std::vector<NodeId>> topological_layers(const Dag& g);

// FlatLayers: the same layers in one array, layer k being
// ids[starts[k] .. starts[k + 1]); starts has one entry more than there are
// layers. A chain of a million nodes is a million layers, which this keeps
// to two allocations.
struct FlatLayers {
  std::vector<NodeId> ids;
  std::vector<std::size_t> starts;
  std::size_t size() const { return starts.size() - 1; }
};
FlatLayers topological_layers_flat(const Dag& g);

// ancestors / descendants: the nodes from which `id` is reachable (reachable
// from `id`) by a path of at least one edge, in breadth-first discovery order.
// `id` itself is included only when it lies on a cycle.
// REQUIRES: id < g.n_nodes().
std::vector<NodeId> ancestors(const Dag& g, NodeId id);
std::vector<NodeId> descendants(const Dag& g, NodeId id);

// for_each_linear_extension: calls visit(order) for every topological order,
// in lexicographic order of the NodeId sequences, without storing them. A
// visit returning an error stops the walk with that error.
// REQUIRES: g is valid (non-empty, acyclic).
template <class Visit>
[[nodiscard]] Result<void> for_each_linear_extension(const Dag& g, Visit&& visit);

// all_linear_extensions: every topological order, lexicographically; runs
// validate first (EmptyGraph, Cycle). NOTE: up to n! orders, all in memory.
[[nodiscard]] Result<std::vector<std::vector<NodeId>>> all_linear_extensions(const Dag& g);

struct StructuralSummary {
  std::uint64_t n_nodes = 0;
  std::uint64_t n_edges = 0;
  bool is_dag = true;  // no directed cycle (the empty graph counts as acyclic)
  bool is_rooted_tree = false;
  std::uint64_t n_roots = 0;
  std::uint64_t n_leaves = 0;
  std::uint64_t max_depth = 0;
  std::string recommended_method;
  std::optional<std::uint64_t> estimated_dense_states;  // 2^n for n < 64
};

// inspect: the structural summary; never fails. A graph with a cycle reports
// is_dag and is_rooted_tree false.
StructuralSummary inspect(const Dag& g);

// ---------------------------------------------------------------------------

template <class Visit>
[[nodiscard]] Result<void> for_each_linear_extension(const Dag& g, Visit&& visit) {
  const std::size_t n = g.n_nodes();
  std::vector<std::size_t> indegree(n);
  std::vector<char> used(n, 0);
  for (NodeId v = 0; v < n; ++v) indegree[v] = g.parents(v).size();
  // Explicit backtracking: candidates of each depth are collected once, on
  // entry, in ascending id, which yields the lexicographic order.
  std::vector<std::vector<NodeId>> candidates(n);
  std::vector<std::size_t> next(n, 0);
  std::vector<NodeId> prefix;
  prefix.reserve(n);
  auto collect = [&](std::size_t depth) {
    candidates[depth].clear();
    for (NodeId v = 0; v < n; ++v) {
      if (!used[v] && indegree[v] == 0) candidates[depth].push_back(v);
    }
    next[depth] = 0;
  };
  auto unplace_last = [&] {
    const NodeId v = prefix.back();
    prefix.pop_back();
    for (NodeId c : g.children(v)) ++indegree[c];
    used[v] = 0;
  };
  if (n == 0) return {};
  collect(0);
  std::size_t depth = 0;
  while (true) {
    if (depth == n) {
      if (Result<void> r = visit(std::span<const NodeId>(prefix)); !r) return r;
      --depth;
      unplace_last();
      continue;
    }
    if (next[depth] < candidates[depth].size()) {
      const NodeId v = candidates[depth][next[depth]++];
      used[v] = 1;
      for (NodeId c : g.children(v)) --indegree[c];
      prefix.push_back(v);
      ++depth;
      if (depth < n) collect(depth);
      continue;
    }
    if (depth == 0) return {};
    --depth;
    unplace_last();
  }
}

}  // namespace morvend

// Cpdag: a partially directed graph over named variables, standing for a
// Markov equivalence class, and the operations that turn it into DAGs.
//
// Directed (compelled) and undirected (unresolved) edges, each list in
// insertion order; nodes are only ever added. Between two nodes there is at
// most one edge of any kind; acyclicity of the directed part is checked on
// demand only (validate_pdag). The consistent extension is deterministic: the
// same Cpdag always yields the same Dag, with the same ids as the Cpdag.
// validate_pdag, the extension, the operations built on it and
// induced_subgraph can be stopped (graph/interrupt.hpp): they then return
// Interrupted and nothing else.
//
//   Cpdag g;
//   NodeId a = g.add_node("a"), b = g.add_node("b");
//   if (auto r = g.add_undirected_edge(a, b); !r) { /* r.error().message() */ }
//   Result<Dag> dag = consistent_extension(g);  // EmptyGraph, NoConsistentExtension
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <boost/unordered/unordered_flat_map.hpp>

#include "graph/asv_error.hpp"
#include "graph/dag.hpp"
#include "graph/name_index.hpp"
#include "graph/node_list.hpp"

namespace morvend {

class Cpdag {
 public:
  Cpdag() = default;

  // add_node: get-or-insert by name, as for Dag.
  NodeId add_node(std::string_view name) { return add_node(name, names_.hash(name)); }
  // add_node with the name's hash (NameIndex::hash), for bulk builds.
  NodeId add_node(std::string_view name, std::uint64_t hash) {
    const NodeId id = names_.add(name, hash);
    if (id == directed_children_.size()) {
      directed_children_.emplace_back();
      directed_parents_.emplace_back();
      undirected_.emplace_back();
    }
    return id;
  }
  std::optional<NodeId> node_id(std::string_view name) const { return names_.find(name); }
  std::optional<NodeId> node_id(std::string_view name, std::uint64_t hash) const {
    return names_.find(name, hash);
  }
  // The name index's hash and prefetch hints (NameIndex), for bulk look-ups.
  const NameIndex& name_index() const { return names_; }
  // name and the three adjacency lists: REQUIRES id < n_nodes() (else InternalFault).
  const std::string& name(NodeId id) const { return names_.name(id); }
  const std::vector<std::string>& names() const { return names_.names(); }
  std::span<const NodeId> directed_children(NodeId id) const {
    return directed_children_[checked(id)];
  }
  std::span<const NodeId> directed_parents(NodeId id) const {
    return directed_parents_[checked(id)];
  }
  std::span<const NodeId> undirected_neighbours(NodeId id) const {
    return undirected_[checked(id)];
  }

  // add_directed_edge: SelfLoop, InvalidNodeId (from, then to), DuplicateEdge,
  // then ConflictingEdge for an opposite or undirected edge between the two.
  // Nothing changes on failure.
  [[nodiscard]] Result<void> add_directed_edge(NodeId from, NodeId to);
  // add_undirected_edge: SelfLoop, InvalidNodeId (a, then b), DuplicateEdge
  // (a - b exists in either order), then ConflictingEdge for a directed edge
  // either way. Nothing changes on failure.
  [[nodiscard]] Result<void> add_undirected_edge(NodeId a, NodeId b);
  // validate_pdag: EmptyGraph for n = 0, Cycle for a directed cycle.
  // Undirected edges play no part.
  [[nodiscard]] Result<void> validate_pdag() const;

  // adjacent: whether an edge of any kind joins a and b. Constant time.
  bool adjacent(NodeId a, NodeId b) const;

  std::size_t n_nodes() const { return directed_children_.size(); }
  std::size_t n_directed_edges() const { return n_directed_; }
  std::size_t n_undirected_edges() const { return n_undirected_; }

 private:
  std::size_t checked(NodeId id) const;

  NameIndex names_;
  std::vector<NodeList> directed_children_;
  std::vector<NodeList> directed_parents_;
  std::vector<NodeList> undirected_;
  // The edge between each joined pair, keyed (min << 32 | max): keeps the
  // duplicate and clash checks constant-time, so a hub is not quadratic to
  // build. kForward is min -> max.
  enum class Link : std::uint8_t { kForward, kBackward, kUndirected };
  boost::unordered_flat_map<std::uint64_t, Link> links_;
  std::size_t n_directed_ = 0;
  std::size_t n_undirected_ = 0;
};

// directed_edge_list: every directed edge as (from, to), tails by ascending
// id, each tail's children in insertion order.
std::vector<std::pair<NodeId, NodeId>> directed_edge_list(const Cpdag& g);
// undirected_edge_list: every undirected edge once, as (a, b) with a < b by
// id, a ascending, each node's neighbours in insertion order.
std::vector<std::pair<NodeId, NodeId>> undirected_edge_list(const Cpdag& g);

// consistent_extension: a Dag on the same names and ids that keeps every
// directed edge, orients every undirected one and adds no cycle and no new
// v-structure (Dor-Tarsi elimination, always taking the smallest qualifying
// id). EmptyGraph for n = 0, NoConsistentExtension when none exists.
// NOTE: each node's children list holds its directed children first, then
// the nodes its undirected edges were oriented into, in elimination order.
[[nodiscard]] Result<Dag> consistent_extension(const Cpdag& g);

// validate_cpdag: validate_pdag, then a consistent extension must exist. Does
// not check that the directed edges are exactly the compelled ones.
[[nodiscard]] Result<void> validate_cpdag(const Cpdag& g);

// strong_d_convex_hull: the strong d-convex hull of `ids` in one consistent
// extension (the hull's node set is the same in every DAG of the class).
// The extension's errors first, then InvalidNodeId or HullNoFixedPoint.
[[nodiscard]] Result<std::vector<NodeId>> strong_d_convex_hull(const Cpdag& g,
                                                               std::span<const NodeId> ids);

// induced_subgraph: the sub-CPDAG on `ids` (repeats harmless), nodes in
// ascending source id, every retained edge keeping its kind. InvalidNodeId
// for the first id >= n, before anything is built.
[[nodiscard]] Result<Cpdag> induced_subgraph(const Cpdag& g, std::span<const NodeId> ids);

}  // namespace morvend

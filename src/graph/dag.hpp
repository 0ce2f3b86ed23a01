// Dag: the directed graph of named variables that everything else works on.
//
// Nodes and edges are only ever added. add_edge checks self-loops, ids and
// duplicates but not cycles: a Dag may hold a cycle until validate() is
// called, and every engine validates before use. Adjacency is kept in both
// directions, each list in edge insertion order.
//
//   Dag g;
//   NodeId a = g.add_node("age"), b = g.add_node("income");
//   if (auto r = g.add_edge(a, b); !r) { /* r.error().message() */ }
//   Result<void> ok = g.validate();  // EmptyGraph or Cycle
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <boost/unordered/unordered_flat_set.hpp>

#include "graph/asv_error.hpp"
#include "graph/name_index.hpp"
#include "graph/node_list.hpp"

namespace morvend {

class Dag {
 public:
  Dag() = default;
  // A Dag of the nodes of `names`, without edges (NameIndex::subset).
  explicit Dag(NameIndex names)
      : names_(std::move(names)), children_(names_.size()), parents_(names_.size()) {}

  // add_node: get-or-insert by name; a new node gets id n_nodes(). Never fails.
  NodeId add_node(std::string_view name) { return add_node(name, names_.hash(name)); }
  // add_node with the name's hash from name_hash(), for bulk builds that hash
  // ahead and prefetch (prefetch_name) to overlap the table's cache misses.
  NodeId add_node(std::string_view name, std::uint64_t hash) {
    const NodeId id = names_.add(name, hash);
    if (id == children_.size()) {
      children_.emplace_back();
      parents_.emplace_back();
    }
    return id;
  }
  std::optional<NodeId> node_id(std::string_view name) const { return names_.find(name); }
  std::optional<NodeId> node_id(std::string_view name, std::uint64_t hash) const {
    return names_.find(name, hash);
  }
  // The name index's hash and prefetch hints (NameIndex), for bulk look-ups.
  const NameIndex& name_index() const { return names_; }
  // name, children, parents: REQUIRES id < n_nodes() (else InternalFault).
  const std::string& name(NodeId id) const { return names_.name(id); }
  std::span<const NodeId> children(NodeId id) const { return children_[checked(id)]; }
  std::span<const NodeId> parents(NodeId id) const { return parents_[checked(id)]; }
  const std::vector<std::string>& names() const { return names_.names(); }

  // add_edge: SelfLoop, then InvalidNodeId (from, then to), then DuplicateEdge;
  // nothing changes on failure. No cycle check.
  [[nodiscard]] Result<void> add_edge(NodeId from, NodeId to);
  // add_children: the edges from -> each of `to`, in order, without the
  // checks of add_edge, for builders that know them to hold (induced
  // subgraphs). REQUIRES: ids < n_nodes(), none equal to `from`, no repeats,
  // none an edge already.
  void add_children(NodeId from, std::span<const NodeId> to);
  // validate: EmptyGraph for n = 0, Cycle when Kahn's algorithm stalls.
  [[nodiscard]] Result<void> validate() const;

  std::size_t n_nodes() const { return children_.size(); }
  std::size_t n_edges() const { return n_edges_; }

  // reserve: room for `n` nodes, so that a bulk build does not regrow.
  void reserve(std::size_t n) {
    names_.reserve(n);
    children_.reserve(n);
    parents_.reserve(n);
  }
  // reserve_edges: room for `children` more children and `parents` more
  // parents of `id`, so that a bulk build that counted them allocates each
  // list once. REQUIRES id < n_nodes() (else InternalFault).
  void reserve_edges(NodeId id, std::size_t children, std::size_t parents) {
    NodeList& out = children_[checked(id)];
    out.reserve(out.size() + children);
    parents_[id].reserve(parents_[id].size() + parents);
  }

 private:
  std::size_t checked(NodeId id) const {
    if (id >= children_.size()) [[unlikely]] out_of_range(id);
    return id;
  }
  [[noreturn]] static void out_of_range(NodeId id);

  NameIndex names_;
  std::vector<NodeList> children_;
  std::vector<NodeList> parents_;
  std::size_t n_edges_ = 0;
  // The edges (from << 32 | to) of every tail with more than kScanLimit
  // children: keeps the duplicate check constant-time, so a hub with a
  // million children is not quadratic to build, while the usual short child
  // list is scanned without hashing.
  static constexpr std::size_t kScanLimit = 16;
  boost::unordered_flat_set<std::uint64_t> hub_edges_;
};

// has_cycle: whether the graph has a directed cycle (false for n = 0).
bool has_cycle(const Dag& g);

// add_named_edges: for k = 0 .. n_edges-1 in order, the nodes named name(2k)
// and name(2k + 1) (get-or-insert), then the edge between them by `insert`
// (a Dag's add_edge, a Cpdag's of either kind); on_node(j, id) hears
// the id of each name j. Names are hashed ahead (for_each_hashed). Stops at
// the first refused edge and returns its error; the nodes made stay.
template <class Graph, class Name, class OnNode>
Result<void> add_named_edges(Graph& g, Result<void> (Graph::*insert)(NodeId, NodeId),
                             std::size_t n_edges, Name name, OnNode on_node) {
  NodeId ends[2];
  std::optional<AsvError> refused;
  for_each_hashed(g.name_index(), 2 * n_edges, name, [&](std::size_t j, std::uint64_t hash) {
    ends[j % 2] = g.add_node(name(j), hash);
    on_node(j, ends[j % 2]);
    if (j % 2 == 0) return true;
    Result<void> r = (g.*insert)(ends[0], ends[1]);
    if (!r) refused = std::move(r.error());
    return r.has_value();
  });
  if (refused) return std::unexpected(std::move(*refused));
  return {};
}

// edge_list: every edge as (from, to), tails by ascending id, each tail's
// children in insertion order.
std::vector<std::pair<NodeId, NodeId>> edge_list(const Dag& g);

}  // namespace morvend

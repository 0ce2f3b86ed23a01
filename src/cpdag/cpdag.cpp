#include "cpdag/cpdag.hpp"

#include <algorithm>
#include <string>

#include "graph/interrupt_meter.hpp"

namespace morvend {
namespace {

std::uint64_t pair_key(NodeId a, NodeId b) {
  return (std::uint64_t{std::min(a, b)} << 32) | std::max(a, b);
}

}  // namespace

std::size_t Cpdag::checked(NodeId id) const {
  if (id >= directed_children_.size()) {
    throw InternalFault("node id out of range: " + std::to_string(id));
  }
  return id;
}

Result<void> Cpdag::add_directed_edge(NodeId from, NodeId to) {
  const std::size_t n = n_nodes();
  if (from == to) return std::unexpected(AsvError::self_loop(from));
  if (from >= n) return std::unexpected(AsvError::invalid_node_id(from));
  if (to >= n) return std::unexpected(AsvError::invalid_node_id(to));
  const Link link = from < to ? Link::kForward : Link::kBackward;
  if (const auto [it, added] = links_.emplace(pair_key(from, to), link); !added) {
    // The same edge is a duplicate; the opposite or an undirected one clashes.
    if (it->second == link) return std::unexpected(AsvError::duplicate_edge(from, to));
    return std::unexpected(AsvError::conflicting_edge(from, to));
  }
  directed_children_[from].push_back(to);
  directed_parents_[to].push_back(from);
  ++n_directed_;
  return {};
}

Result<void> Cpdag::add_undirected_edge(NodeId a, NodeId b) {
  const std::size_t n = n_nodes();
  if (a == b) return std::unexpected(AsvError::self_loop(a));
  if (a >= n) return std::unexpected(AsvError::invalid_node_id(a));
  if (b >= n) return std::unexpected(AsvError::invalid_node_id(b));
  if (const auto [it, added] = links_.emplace(pair_key(a, b), Link::kUndirected); !added) {
    if (it->second == Link::kUndirected) return std::unexpected(AsvError::duplicate_edge(a, b));
    return std::unexpected(AsvError::conflicting_edge(a, b));
  }
  undirected_[a].push_back(b);
  undirected_[b].push_back(a);
  ++n_undirected_;
  return {};
}

bool Cpdag::adjacent(NodeId a, NodeId b) const { return links_.contains(pair_key(a, b)); }

Result<void> Cpdag::validate_pdag() const {
  const std::size_t n = n_nodes();
  if (n == 0) return std::unexpected(AsvError::empty_graph());
  // Kahn's algorithm over the directed edges; the vector doubles as the queue.
  std::vector<std::size_t> indegree(n);
  std::vector<NodeId> queue;
  queue.reserve(n);
  InterruptMeter meter;
  for (NodeId v = 0; v < n; ++v) {
    if (Result<void> r = meter.spend(1); !r) return r;
    indegree[v] = directed_parents_[v].size();
    if (indegree[v] == 0) queue.push_back(v);
  }
  for (std::size_t head = 0; head < queue.size(); ++head) {
    const NodeList& children = directed_children_[queue[head]];
    if (Result<void> r = meter.spend(1 + children.size()); !r) return r;
    for (NodeId c : children) {
      if (--indegree[c] == 0) queue.push_back(c);
    }
  }
  if (queue.size() < n) return std::unexpected(AsvError::cycle());
  return {};
}

std::vector<std::pair<NodeId, NodeId>> directed_edge_list(const Cpdag& g) {
  std::vector<std::pair<NodeId, NodeId>> edges;
  edges.reserve(g.n_directed_edges());
  for (NodeId u = 0; u < g.n_nodes(); ++u) {
    for (NodeId v : g.directed_children(u)) edges.emplace_back(u, v);
  }
  return edges;
}

std::vector<std::pair<NodeId, NodeId>> undirected_edge_list(const Cpdag& g) {
  std::vector<std::pair<NodeId, NodeId>> edges;
  edges.reserve(g.n_undirected_edges());
  for (NodeId u = 0; u < g.n_nodes(); ++u) {
    for (NodeId v : g.undirected_neighbours(u)) {
      if (u < v) edges.emplace_back(u, v);
    }
  }
  return edges;
}

}  // namespace morvend

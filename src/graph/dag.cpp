#include "graph/dag.hpp"

#include <string>

namespace morvend {

void Dag::out_of_range(NodeId id) {
  throw InternalFault("node id out of range: " + std::to_string(id));
}

Result<void> Dag::add_edge(NodeId from, NodeId to) {
  const std::size_t n = n_nodes();
  if (from == to) return std::unexpected(AsvError::self_loop(from));
  if (from >= n) return std::unexpected(AsvError::invalid_node_id(from));
  if (to >= n) return std::unexpected(AsvError::invalid_node_id(to));
  NodeList& out = children_[from];
  const auto key = [from](NodeId v) { return (std::uint64_t{from} << 32) | v; };
  if (out.size() < kScanLimit) {
    for (NodeId v : out) {
      if (v == to) return std::unexpected(AsvError::duplicate_edge(from, to));
    }
  } else {
    if (out.size() == kScanLimit) {
      for (NodeId v : out) hub_edges_.insert(key(v));  // becomes a hub now
    }
    if (!hub_edges_.insert(key(to)).second) {
      return std::unexpected(AsvError::duplicate_edge(from, to));
    }
  }
  ++n_edges_;
  out.push_back(to);
  parents_[to].push_back(from);
  return {};
}

void Dag::add_children(NodeId from, std::span<const NodeId> to) {
  NodeList& out = children_[checked(from)];
  const std::size_t before = out.size();
  out.append(to);
  for (NodeId v : to) parents_[checked(v)].push_back(from);
  n_edges_ += to.size();
  if (out.size() > kScanLimit) {  // a hub: its edges join the duplicate set
    for (std::size_t i = before > kScanLimit ? before : 0; i < out.size(); ++i) {
      hub_edges_.insert((std::uint64_t{from} << 32) | out[i]);
    }
  }
}

bool has_cycle(const Dag& g) {
  // Kahn's algorithm; the vector doubles as the FIFO queue.
  const std::size_t n = g.n_nodes();
  std::vector<std::size_t> indegree(n);
  std::vector<NodeId> queue;
  queue.reserve(n);
  for (NodeId v = 0; v < n; ++v) {
    indegree[v] = g.parents(v).size();
    if (indegree[v] == 0) queue.push_back(v);
  }
  for (std::size_t head = 0; head < queue.size(); ++head) {
    for (NodeId c : g.children(queue[head])) {
      if (--indegree[c] == 0) queue.push_back(c);
    }
  }
  return queue.size() < n;
}

Result<void> Dag::validate() const {
  if (n_nodes() == 0) return std::unexpected(AsvError::empty_graph());
  if (has_cycle(*this)) return std::unexpected(AsvError::cycle());
  return {};
}

std::vector<std::pair<NodeId, NodeId>> edge_list(const Dag& g) {
  std::vector<std::pair<NodeId, NodeId>> edges;
  edges.reserve(g.n_edges());
  for (NodeId u = 0; u < g.n_nodes(); ++u) {
    for (NodeId v : g.children(u)) edges.emplace_back(u, v);
  }
  return edges;
}

}  // namespace morvend

#include <functional>
#include <queue>
#include <utility>

#include "cpdag/cpdag.hpp"

namespace morvend {
namespace {

// Dor-Tarsi elimination. A node may be eliminated when it is a sink among
// the living nodes and each of its undirected neighbours is adjacent to all
// its other living neighbours (directed parents and undirected neighbours);
// its undirected edges are then oriented into it. Both conditions only get
// easier as nodes die, so a node that qualifies keeps qualifying, and a heap
// of qualified ids yields the smallest qualifying id at each step without
// rescanning the graph. Only the parents and undirected neighbours of an
// eliminated node can change status.
class Elimination {
 public:
  explicit Elimination(const Cpdag& g)
      : g_(g), alive_(g.n_nodes(), 1), queued_(g.n_nodes(), 0), live_children_(g.n_nodes()) {
    for (NodeId u = 0; u < g.n_nodes(); ++u) live_children_[u] = g.directed_children(u).size();
  }

  // run: the edges of the extension, directed edges first; false when some
  // step finds no node to eliminate.
  bool run(std::vector<std::pair<NodeId, NodeId>>& edges) {
    const std::size_t n = g_.n_nodes();
    for (NodeId u = 0; u < n; ++u) {
      for (NodeId v : g_.directed_children(u)) edges.emplace_back(u, v);
    }
    for (NodeId x = 0; x < n; ++x) recheck(x);
    for (std::size_t step = 0; step < n; ++step) {
      if (ready_.empty()) return false;
      const NodeId x = ready_.top();
      ready_.pop();
      for (NodeId y : g_.undirected_neighbours(x)) {
        if (alive_[y]) edges.emplace_back(y, x);
      }
      alive_[x] = 0;
      for (NodeId p : g_.directed_parents(x)) {
        if (!alive_[p]) continue;
        --live_children_[p];
        recheck(p);
      }
      for (NodeId y : g_.undirected_neighbours(x)) {
        if (alive_[y]) recheck(y);
      }
    }
    return true;
  }

 private:
  void recheck(NodeId x) {
    if (queued_[x] || !qualifies(x)) return;
    queued_[x] = 1;
    ready_.push(x);
  }

  bool qualifies(NodeId x) {
    if (live_children_[x] != 0) return false;
    neighbours_.clear();
    for (NodeId y : g_.undirected_neighbours(x)) {
      if (alive_[y]) neighbours_.push_back(y);
    }
    if (neighbours_.empty()) return true;
    for (std::size_t i = 0; i < neighbours_.size(); ++i) {
      const NodeId y = neighbours_[i];
      for (NodeId z : g_.directed_parents(x)) {
        if (alive_[z] && !g_.adjacent(y, z)) return false;
      }
      for (std::size_t j = i + 1; j < neighbours_.size(); ++j) {
        if (!g_.adjacent(y, neighbours_[j])) return false;
      }
    }
    return true;
  }

  const Cpdag& g_;
  std::vector<char> alive_;
  std::vector<char> queued_;
  std::vector<std::size_t> live_children_;  // living directed children
  std::priority_queue<NodeId, std::vector<NodeId>, std::greater<>> ready_;
  std::vector<NodeId> neighbours_;  // scratch of qualifies()
};

}  // namespace

Result<Dag> consistent_extension(const Cpdag& g) {
  if (g.n_nodes() == 0) return std::unexpected(AsvError::empty_graph());
  std::vector<std::pair<NodeId, NodeId>> edges;
  edges.reserve(g.n_directed_edges() + g.n_undirected_edges());
  if (!Elimination(g).run(edges)) return std::unexpected(AsvError::no_consistent_extension());
  Dag dag;
  for (const std::string& name : g.names()) dag.add_node(name);
  for (auto [from, to] : edges) {
    if (Result<void> r = dag.add_edge(from, to); !r) return std::unexpected(r.error());
  }
  if (Result<void> r = dag.validate(); !r) return std::unexpected(r.error());
  return dag;
}

Result<void> validate_cpdag(const Cpdag& g) {
  if (Result<void> r = g.validate_pdag(); !r) return r;
  if (Result<Dag> r = consistent_extension(g); !r) return std::unexpected(r.error());
  return {};
}

}  // namespace morvend

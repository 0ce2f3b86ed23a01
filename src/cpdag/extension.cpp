#include <functional>
#include <queue>
#include <utility>

#include "cpdag/cpdag.hpp"
#include "graph/interrupt_meter.hpp"

namespace morvend {
namespace {

// Dor-Tarsi elimination. A node may be eliminated when it is a sink among
// the living nodes and each of its undirected neighbours is adjacent to all
// its other living neighbours (directed parents and undirected neighbours);
// its undirected edges are then oriented into it. Both conditions only get
// easier as nodes die, so a node that qualifies keeps qualifying, and a heap
// of qualified ids yields the smallest qualifying id at each step without
// rescanning the graph. Only the parents and undirected neighbours of an
// eliminated node can change status. One test of a node with k living
// neighbours costs k^2 adjacency lookups, so the meter counts inside it.
class Elimination {
 public:
  Elimination(const Cpdag& g, InterruptMeter& meter)
      : g_(g),
        meter_(meter),
        alive_(g.n_nodes(), 1),
        queued_(g.n_nodes(), 0),
        live_children_(g.n_nodes()) {
    for (NodeId u = 0; u < g.n_nodes(); ++u) live_children_[u] = g.directed_children(u).size();
  }

  // run: the edges of the extension, directed edges first;
  // NoConsistentExtension when some step finds no node to eliminate.
  Result<void> run(std::vector<std::pair<NodeId, NodeId>>& edges) {
    const std::size_t n = g_.n_nodes();
    for (NodeId u = 0; u < n; ++u) {
      if (Result<void> r = meter_.spend(1 + g_.directed_children(u).size()); !r) return r;
      for (NodeId v : g_.directed_children(u)) edges.emplace_back(u, v);
    }
    for (NodeId x = 0; x < n; ++x) {
      if (Result<void> r = meter_.spend(1); !r) return r;
      if (Result<void> r = recheck(x); !r) return r;
    }
    for (std::size_t step = 0; step < n; ++step) {
      if (ready_.empty()) return std::unexpected(AsvError::no_consistent_extension());
      const NodeId x = ready_.top();
      ready_.pop();
      const auto neighbours = g_.undirected_neighbours(x);
      const auto parents = g_.directed_parents(x);
      if (Result<void> r = meter_.spend(1 + neighbours.size() + parents.size()); !r) return r;
      for (NodeId y : neighbours) {
        if (alive_[y]) edges.emplace_back(y, x);
      }
      alive_[x] = 0;
      for (NodeId p : parents) {
        if (!alive_[p]) continue;
        --live_children_[p];
        if (Result<void> r = recheck(p); !r) return r;
      }
      for (NodeId y : neighbours) {
        if (!alive_[y]) continue;
        if (Result<void> r = recheck(y); !r) return r;
      }
    }
    return {};
  }

 private:
  Result<void> recheck(NodeId x) {
    if (queued_[x]) return {};
    const Result<bool> ok = qualifies(x);
    if (!ok) return std::unexpected(ok.error());
    if (!*ok) return {};
    queued_[x] = 1;
    ready_.push(x);
    return {};
  }

  Result<bool> qualifies(NodeId x) {
    if (live_children_[x] != 0) return false;
    neighbours_.clear();
    for (NodeId y : g_.undirected_neighbours(x)) {
      if (alive_[y]) neighbours_.push_back(y);
    }
    if (neighbours_.empty()) return true;
    const std::size_t n_parents = g_.directed_parents(x).size();
    for (std::size_t i = 0; i < neighbours_.size(); ++i) {
      if (Result<void> r = meter_.spend(n_parents + neighbours_.size() - i); !r) {
        return std::unexpected(r.error());
      }
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
  InterruptMeter& meter_;
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
  InterruptMeter meter;
  if (Result<void> r = Elimination(g, meter).run(edges); !r) return std::unexpected(r.error());
  Dag dag;
  for (const std::string& name : g.names()) {
    if (Result<void> r = meter.spend(1); !r) return std::unexpected(r.error());
    dag.add_node(name);
  }
  for (auto [from, to] : edges) {
    if (Result<void> r = meter.spend(1); !r) return std::unexpected(r.error());
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

// Operations that rest on the consistent extension or mirror the DAG ones.
#include <boost/unordered/unordered_flat_map.hpp>

#include "cpdag/cpdag.hpp"
#include "d_convex/d_convex.hpp"
#include "graph/interrupt_meter.hpp"

namespace morvend {

Result<std::vector<NodeId>> strong_d_convex_hull(const Cpdag& g, std::span<const NodeId> ids) {
  Result<Dag> dag = consistent_extension(g);
  if (!dag) return std::unexpected(dag.error());
  return strong_d_convex_hull(*dag, ids);
}

Result<Cpdag> induced_subgraph(const Cpdag& g, std::span<const NodeId> ids) {
  if (Result<void> r = check_ids(ids, g.n_nodes()); !r) return std::unexpected(r.error());
  const std::vector<NodeId> kept = sorted_ids(ids);
  Cpdag sub;
  boost::unordered_flat_map<NodeId, NodeId> new_id;
  new_id.reserve(kept.size());
  InterruptMeter meter;
  for (NodeId u : kept) {
    if (Result<void> r = meter.spend(1); !r) return std::unexpected(r.error());
    new_id.emplace(u, sub.add_node(g.name(u)));
  }
  for (NodeId u : kept) {
    if (Result<void> r = meter.spend(1 + g.directed_children(u).size()); !r) {
      return std::unexpected(r.error());
    }
    for (NodeId v : g.directed_children(u)) {
      const auto it = new_id.find(v);
      if (it == new_id.end()) continue;
      if (Result<void> r = sub.add_directed_edge(new_id.at(u), it->second); !r) {
        return std::unexpected(r.error());
      }
    }
  }
  for (NodeId u : kept) {
    if (Result<void> r = meter.spend(1 + g.undirected_neighbours(u).size()); !r) {
      return std::unexpected(r.error());
    }
    for (NodeId v : g.undirected_neighbours(u)) {
      const auto it = new_id.find(v);
      if (u > v || it == new_id.end()) continue;
      if (Result<void> r = sub.add_undirected_edge(new_id.at(u), it->second); !r) {
        return std::unexpected(r.error());
      }
    }
  }
  return sub;
}

}  // namespace morvend

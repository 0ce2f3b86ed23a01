#include <boost/unordered/unordered_flat_map.hpp>

#include "d_convex/d_convex.hpp"
#include "graph/interrupt_meter.hpp"

namespace morvend {

Result<Dag> induced_subgraph(const Dag& g, std::span<const NodeId> ids) {
  if (Result<void> r = check_ids(ids, g.n_nodes()); !r) return std::unexpected(r.error());
  const std::vector<NodeId> kept = sorted_ids(ids);
  Dag sub;
  boost::unordered_flat_map<NodeId, NodeId> new_id;
  new_id.reserve(kept.size());
  InterruptMeter meter;
  for (NodeId u : kept) {
    if (Result<void> r = meter.spend(1); !r) return std::unexpected(r.error());
    new_id.emplace(u, sub.add_node(g.name(u)));
  }
  for (NodeId u : kept) {
    if (Result<void> r = meter.spend(1 + g.children(u).size()); !r) {
      return std::unexpected(r.error());
    }
    for (NodeId v : g.children(u)) {
      const auto it = new_id.find(v);
      if (it == new_id.end()) continue;
      if (Result<void> r = sub.add_edge(new_id.at(u), it->second); !r) {
        return std::unexpected(r.error());
      }
    }
  }
  return sub;
}

}  // namespace morvend

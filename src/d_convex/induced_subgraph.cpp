#include <algorithm>

#include <boost/unordered/unordered_flat_map.hpp>

#include "d_convex/d_convex.hpp"

namespace morvend {

Result<Dag> induced_subgraph(const Dag& g, std::span<const NodeId> ids) {
  for (NodeId id : ids) {
    if (id >= g.n_nodes()) return std::unexpected(AsvError::invalid_node_id(id));
  }
  // Sorting the request, not marking all n nodes, keeps a small subgraph of
  // a huge graph cheap; the new ids follow the source order either way.
  std::vector<NodeId> kept(ids.begin(), ids.end());
  std::sort(kept.begin(), kept.end());
  kept.erase(std::unique(kept.begin(), kept.end()), kept.end());
  Dag sub;
  boost::unordered_flat_map<NodeId, NodeId> new_id;
  new_id.reserve(kept.size());
  for (NodeId u : kept) new_id.emplace(u, sub.add_node(g.name(u)));
  for (NodeId u : kept) {
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

#include <boost/unordered/unordered_flat_map.hpp>

#include "d_convex/d_convex.hpp"
#include "graph/interrupt_meter.hpp"

namespace morvend {

Result<Dag> induced_subgraph(const Dag& g, std::span<const NodeId> ids,
                             std::vector<NodeId>* kept_out) {
  if (Result<void> r = check_ids(ids, g.n_nodes()); !r) return std::unexpected(r.error());
  std::vector<NodeId> kept = sorted_ids(ids);
  // Source id -> new id: a dense table when the request is a sizeable part of
  // the graph (no hashing per edge), a hash map when it is a few nodes of a
  // huge graph (no cost per source node).
  constexpr NodeId kAbsent = static_cast<NodeId>(-1);
  const bool dense = kept.size() >= g.n_nodes() / 16;
  std::vector<NodeId> dense_id(dense ? g.n_nodes() : 0, kAbsent);
  boost::unordered_flat_map<NodeId, NodeId> sparse_id;
  if (!dense) sparse_id.reserve(kept.size());
  const auto new_id = [&](NodeId v) -> NodeId {
    if (dense) return dense_id[v];
    const auto it = sparse_id.find(v);
    return it == sparse_id.end() ? kAbsent : it->second;
  };
  Dag sub;
  sub.reserve(kept.size());
  InterruptMeter meter;
  for (NodeId u : kept) {
    if (Result<void> r = meter.spend(1); !r) return std::unexpected(r.error());
    const NodeId id = sub.add_node(g.name(u));
    if (dense) {
      dense_id[u] = id;
    } else {
      sparse_id.emplace(u, id);
    }
  }
  for (NodeId u : kept) {
    if (Result<void> r = meter.spend(1 + g.children(u).size()); !r) {
      return std::unexpected(r.error());
    }
    const NodeId from = new_id(u);
    for (NodeId v : g.children(u)) {
      const NodeId to = new_id(v);
      if (to == kAbsent) continue;
      if (Result<void> r = sub.add_edge(from, to); !r) return std::unexpected(r.error());
    }
  }
  if (kept_out != nullptr) *kept_out = std::move(kept);
  return sub;
}

}  // namespace morvend

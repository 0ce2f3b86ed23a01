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
  Dag sub(g.name_index().subset(kept));
  for (NodeId i = 0; i < kept.size(); ++i) {
    if (dense) {
      dense_id[kept[i]] = i;
    } else {
      sparse_id.emplace(kept[i], i);
    }
  }
  InterruptMeter meter;
  std::vector<NodeId> targets;
  // Child lists and the id table are read at random: fetch them a few nodes
  // ahead (the child lists first, then the table entries they point to).
  constexpr std::size_t kListAhead = 8, kTableAhead = 4;
  for (std::size_t i = 0; i < kept.size(); ++i) {
    const NodeId u = kept[i];
    if (i + kListAhead < kept.size()) __builtin_prefetch(g.children(kept[i + kListAhead]).data());
    if (dense && i + kTableAhead < kept.size()) {
      for (NodeId v : g.children(kept[i + kTableAhead])) __builtin_prefetch(&dense_id[v]);
    }
    if (Result<void> r = meter.spend(1 + g.children(u).size()); !r) {
      return std::unexpected(r.error());
    }
    // The source's edges are distinct and loop-free, and so are their images.
    targets.clear();
    for (NodeId v : g.children(u)) {
      if (const NodeId to = new_id(v); to != kAbsent) targets.push_back(to);
    }
    if (!targets.empty()) sub.add_children(new_id(u), targets);
  }
  if (kept_out != nullptr) *kept_out = std::move(kept);
  return sub;
}

}  // namespace morvend

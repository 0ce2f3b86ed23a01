// Node sets and id lists as the hull and subgraph operations take them.
//
// NodeSet remembers insertion order, which decides the order in which the
// hull searches examine candidates; membership is a hash lookup, so a small
// set in a huge graph costs nothing per node of the graph.
//
//   if (Result<void> r = check_ids(ids, g.n_nodes()); !r) return std::unexpected(r.error());
//   NodeSet w(ids);                    // repeats ignored
//   if (w.insert(v)) { /* v was new; it now comes last */ }
#pragma once

#include <algorithm>
#include <cstddef>
#include <span>
#include <utility>
#include <vector>

#include <boost/unordered/unordered_flat_set.hpp>

#include "graph/asv_error.hpp"

namespace morvend {

class NodeSet {
 public:
  NodeSet() = default;
  explicit NodeSet(std::span<const NodeId> ids) {
    for (NodeId id : ids) insert(id);
  }

  // insert: appends `id` unless present; true when it was new.
  bool insert(NodeId id) {
    if (!members_.insert(id).second) return false;
    order_.push_back(id);
    return true;
  }
  bool contains(NodeId id) const { return members_.contains(id); }
  std::size_t size() const { return order_.size(); }
  bool empty() const { return order_.empty(); }

  // The members in insertion order.
  const std::vector<NodeId>& ids() const& { return order_; }
  std::vector<NodeId> ids() && { return std::move(order_); }
  auto begin() const { return order_.begin(); }
  auto end() const { return order_.end(); }

 private:
  std::vector<NodeId> order_;
  boost::unordered_flat_set<NodeId> members_;
};

// check_ids: InvalidNodeId for the first id >= n, in list order.
[[nodiscard]] inline Result<void> check_ids(std::span<const NodeId> ids, std::size_t n) {
  for (NodeId id : ids) {
    if (id >= n) return std::unexpected(AsvError::invalid_node_id(id));
  }
  return {};
}

// sorted_ids: `ids` in ascending order, each once. Sorting the request, not
// marking all n nodes, keeps a small subgraph of a huge graph cheap.
inline std::vector<NodeId> sorted_ids(std::span<const NodeId> ids) {
  std::vector<NodeId> out(ids.begin(), ids.end());
  // Requests often come in id order already (a graph's own node list).
  if (std::is_sorted(out.begin(), out.end())) {
    out.erase(std::unique(out.begin(), out.end()), out.end());
    return out;
  }
  std::sort(out.begin(), out.end());
  out.erase(std::unique(out.begin(), out.end()), out.end());
  return out;
}

}  // namespace morvend

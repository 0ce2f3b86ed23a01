// NodeSet: a set of NodeId that remembers insertion order.
//
// Iteration follows insertion order, which decides the order in which the
// hull searches examine candidates; membership is a hash lookup, so a small
// set in a huge graph costs nothing per node of the graph.
//
//   NodeSet w(ids);                    // repeats ignored
//   if (w.insert(v)) { /* v was new; it now comes last */ }
#pragma once

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

}  // namespace morvend

// NameOrder: node ids sorted by their names' UTF-8 bytes, which is code point
// order and so Python's order of str. Listings sort small id lists directly
// and rank all names once when a result is large relative to the graph.
//
//   NameOrder order;                 // kept beside the graph, reused
//   NameSorter(order, g.names()).sort(ids);
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "graph/asv_error.hpp"

namespace morvend {

class NameOrder {
 public:
  // ranked: whether rank() holds the order of all `n` names.
  bool ranked(std::size_t n) const { return n > 0 && rank_.size() == n; }
  // rank_names: ranks all names in ascending byte order (one sort).
  void rank_names(std::span<const std::string> names);
  // rank[id]: the position of node id among the names; by_rank: the inverse.
  const std::vector<NodeId>& rank() const { return rank_; }
  const std::vector<NodeId>& by_rank() const { return by_rank_; }

 private:
  std::vector<NodeId> rank_, by_rank_;
};

// worth_ranking: whether a result of k ids out of n names pays for ranking
// all names once.
inline bool worth_ranking(std::size_t k, std::size_t n) { return k >= 64 && k * 8 >= n; }

// NameSorter: sorts id lists by name, reusing one bitmap over the ranks; it
// ranks the names in `order` when a list is worth it.
class NameSorter {
 public:
  NameSorter(NameOrder& order, std::span<const std::string> names)
      : order_(order), names_(names) {}

  // sort: `ids` in ascending byte order of their names. REQUIRES: every id <
  // names.size().
  void sort(std::span<NodeId> ids);

 private:
  bool by_bitmap(std::span<NodeId> ids);

  NameOrder& order_;
  std::span<const std::string> names_;
  std::vector<std::uint64_t> bits_;
};

// sort_layers: each layer ids[starts[k] .. starts[k + 1]) sorted as by
// NameSorter; all names ranked first when the layers together are worth it.
// REQUIRES: starts non-empty, ascending, ending at ids.size().
void sort_layers(NameOrder& order, std::span<const std::string> names, std::span<NodeId> ids,
                 std::span<const std::size_t> starts);

}  // namespace morvend

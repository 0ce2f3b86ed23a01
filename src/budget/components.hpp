// Components: the weakly connected components of a DAG, each as a DAG of its
// own. The linear extensions of a DAG are the interleavings of its
// components' linear extensions, so each component is counted or sampled on
// its own: 300 isolated nodes have 2^300 order ideals, but 300 components of
// two ideals each.
//
//   std::vector<Component> parts = components(dag);
//   parts[0].dag;  parts[0].nodes[local];   // the node's id in `dag`
#pragma once

#include <vector>

#include "graph/dag.hpp"

namespace morvend {

struct Component {
  Dag dag;                    // local ids 0 .. nodes.size() - 1; empty for a single node
  std::vector<NodeId> nodes;  // local id -> id in the whole graph, ascending
};

// components: in order of their smallest node; a graph of one component
// gives one Component whose ids are the graph's own. O(n + edges).
// REQUIRES: g valid.
[[nodiscard]] std::vector<Component> components(const Dag& g);

}  // namespace morvend

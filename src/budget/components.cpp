#include "budget/components.hpp"

#include <string>

namespace morvend {

std::vector<Component> components(const Dag& g) {
  const std::size_t n = g.n_nodes();
  constexpr std::size_t kNone = SIZE_MAX;
  std::vector<std::size_t> label(n, kNone);
  std::vector<NodeId> stack;
  std::size_t count = 0;
  for (NodeId s = 0; s < n; ++s) {
    if (label[s] != kNone) continue;
    label[s] = count;
    stack.push_back(s);
    while (!stack.empty()) {  // explicit stack: graphs of any depth
      const NodeId u = stack.back();
      stack.pop_back();
      for (auto nbrs : {g.children(u), g.parents(u)}) {
        for (NodeId v : nbrs) {
          if (label[v] == kNone) {
            label[v] = count;
            stack.push_back(v);
          }
        }
      }
    }
    ++count;
  }
  std::vector<Component> out(count);
  std::vector<NodeId> local(n);
  for (NodeId v = 0; v < n; ++v) {
    local[v] = static_cast<NodeId>(out[label[v]].nodes.size());
    out[label[v]].nodes.push_back(v);
  }
  for (Component& c : out) {
    if (c.nodes.size() == 1) continue;  // its one order needs no graph
    // Names are never read: the local ids are what matters.
    c.dag.reserve(c.nodes.size());
    for (std::size_t k = 0; k < c.nodes.size(); ++k) c.dag.add_node(std::to_string(k));
    std::vector<NodeId> to;
    for (NodeId v : c.nodes) {
      to.clear();
      for (NodeId w : g.children(v)) to.push_back(local[w]);
      if (!to.empty()) c.dag.add_children(local[v], to);
    }
  }
  return out;
}

}  // namespace morvend

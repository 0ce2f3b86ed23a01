#include "asv/explainer_state.hpp"

#include "topo/topo.hpp"

namespace morvend {

ExplainerState::ExplainerState(Dag graph) : graph_(std::move(graph)) {
  const std::size_t n = graph_.n_nodes();
  if (n <= 63) {
    parent_masks_.assign(n, 0);
    for (NodeId v = 0; v < n; ++v) {
      for (NodeId p : graph_.parents(v)) parent_masks_[v] |= std::uint64_t{1} << p;
    }
  }
  rooted_tree_ = morvend::is_rooted_tree(graph_).has_value();
}

Result<ExplainerState> ExplainerState::build(const Dag& dag) {
  if (Result<void> r = dag.validate(); !r) return std::unexpected(r.error());
  return ExplainerState(dag);
}

}  // namespace morvend

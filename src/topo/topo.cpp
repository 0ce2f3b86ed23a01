#include "topo/topo.hpp"

#include <utility>
#include <vector>

#include "graph/limits.hpp"
#include "graph/method_names.hpp"

namespace morvend {
namespace {

template <class Next>
std::vector<NodeId> breadth_first(const Dag& g, NodeId start, Next next) {
  std::vector<char> seen(g.n_nodes(), 0);
  std::vector<NodeId> found;  // doubles as the FIFO queue
  for (NodeId v : next(start)) {
    if (!seen[v]) {
      seen[v] = 1;
      found.push_back(v);
    }
  }
  for (std::size_t head = 0; head < found.size(); ++head) {
    for (NodeId v : next(found[head])) {
      if (!seen[v]) {
        seen[v] = 1;
        found.push_back(v);
      }
    }
  }
  return found;
}

}  // namespace

Result<NodeId> is_rooted_tree(const Dag& g) {
  std::optional<NodeId> root;
  for (NodeId v = 0; v < g.n_nodes(); ++v) {
    const std::size_t in = g.parents(v).size();
    if (in == 0) {
      if (root) return std::unexpected(AsvError::not_rooted_tree());
      root = v;
    } else if (in != 1) {
      return std::unexpected(AsvError::not_rooted_tree());
    }
  }
  if (!root) return std::unexpected(AsvError::not_rooted_tree());
  return *root;
}

FlatLayers topological_layers_flat(const Dag& g) {
  // Frontier form of the layer-by-layer rescan: a node enters layer k + 1 when
  // its last parent is placed in layer k. The layer of each node is recorded
  // and the layers are filled by one pass over the ids, which keeps them in
  // ascending order without sorting.
  const std::size_t n = g.n_nodes();
  constexpr NodeId kUnplaced = static_cast<NodeId>(-1);
  std::vector<NodeId> remaining(n), layer_of(n, kUnplaced);
  std::vector<NodeId> frontier, next;
  for (NodeId v = 0; v < n; ++v) {
    remaining[v] = static_cast<NodeId>(g.parents(v).size());
    if (remaining[v] == 0) frontier.push_back(v);
  }
  FlatLayers out;
  std::vector<std::size_t>& count = out.starts;  // sizes first, then offsets
  while (!frontier.empty()) {
    const auto layer = static_cast<NodeId>(count.size());
    count.push_back(frontier.size());
    for (NodeId v : frontier) layer_of[v] = layer;
    next.clear();
    for (NodeId v : frontier) {
      for (NodeId c : g.children(v)) {
        if (--remaining[c] == 0) next.push_back(c);
      }
    }
    frontier.swap(next);
  }
  std::size_t total = 0;
  for (std::size_t& c : count) total += std::exchange(c, total);
  count.push_back(total);
  out.ids.resize(total);
  std::vector<std::size_t> fill(count.begin(), count.end() - 1);
  for (NodeId v = 0; v < n; ++v) {
    if (layer_of[v] != kUnplaced) out.ids[fill[layer_of[v]]++] = v;
  }
  return out;
}

std::vector<std::vector<NodeId>> topological_layers(const Dag& g) {
  const FlatLayers flat = topological_layers_flat(g);
  std::vector<std::vector<NodeId>> layers(flat.size());
  for (std::size_t k = 0; k < flat.size(); ++k) {
    layers[k].assign(flat.ids.begin() + static_cast<std::ptrdiff_t>(flat.starts[k]),
                     flat.ids.begin() + static_cast<std::ptrdiff_t>(flat.starts[k + 1]));
  }
  return layers;
}

std::vector<NodeId> ancestors(const Dag& g, NodeId id) {
  return breadth_first(g, id, [&](NodeId v) { return g.parents(v); });
}

std::vector<NodeId> descendants(const Dag& g, NodeId id) {
  return breadth_first(g, id, [&](NodeId v) { return g.children(v); });
}

Result<std::vector<std::vector<NodeId>>> all_linear_extensions(const Dag& g) {
  if (Result<void> r = g.validate(); !r) return std::unexpected(r.error());
  std::vector<std::vector<NodeId>> out;
  Result<void> walked = for_each_linear_extension(g, [&](std::span<const NodeId> order) {
    out.emplace_back(order.begin(), order.end());
    return Result<void>{};
  });
  if (!walked) return std::unexpected(walked.error());
  return out;
}

StructuralSummary inspect(const Dag& g) {
  StructuralSummary s;
  const std::size_t n = g.n_nodes();
  s.n_nodes = n;
  s.n_edges = g.n_edges();
  for (NodeId v = 0; v < n; ++v) {
    if (g.parents(v).empty()) ++s.n_roots;
    if (g.children(v).empty()) ++s.n_leaves;
  }
  // The layers hold exactly the nodes Kahn's algorithm can take, so they
  // also tell whether there is a cycle.
  const FlatLayers layers = topological_layers_flat(g);
  const std::size_t placed = layers.ids.size();
  s.max_depth = layers.size() == 0 ? 0 : layers.size() - 1;
  s.is_dag = placed == n;
  s.is_rooted_tree = s.is_dag && is_rooted_tree(g).has_value();
  if (n <= kMaxEnumeratedNodes) {
    s.recommended_method = method_name::kExact;
  } else if (s.is_rooted_tree) {
    s.recommended_method = method_name::kExactTree;
  } else if (n <= kMaxDenseNodes) {
    s.recommended_method = method_name::kExactDag;
  } else {
    s.recommended_method = method_name::kApprox;
  }
  if (n < 64) s.estimated_dense_states = std::uint64_t{1} << n;
  return s;
}

}  // namespace morvend

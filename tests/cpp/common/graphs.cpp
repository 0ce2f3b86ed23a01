#include "common/graphs.hpp"

#include <algorithm>
#include <random>
#include <stdexcept>

namespace morvend::testing {

Dag make_dag(std::size_t n, const std::vector<std::pair<NodeId, NodeId>>& edges) {
  Dag g;
  for (std::size_t i = 0; i < n; ++i) g.add_node(std::to_string(i));
  for (auto [u, v] : edges) {
    if (!g.add_edge(u, v)) throw std::logic_error("bad test edge");
  }
  return g;
}

Dag chain(std::size_t n) {
  std::vector<std::pair<NodeId, NodeId>> edges;
  for (NodeId i = 0; i + 1 < n; ++i) edges.emplace_back(i, i + 1);
  return make_dag(n, edges);
}

Dag random_dag(std::size_t n, double p, std::uint64_t seed) {
  std::mt19937_64 gen(seed);
  std::bernoulli_distribution coin(p);
  std::vector<std::pair<NodeId, NodeId>> edges;
  for (NodeId i = 0; i < n; ++i) {
    for (NodeId j = i + 1; j < n; ++j) {
      if (coin(gen)) edges.emplace_back(i, j);
    }
  }
  return make_dag(n, edges);
}

Dag random_tree(std::size_t n, std::uint64_t seed) {
  std::mt19937_64 gen(seed);
  std::vector<std::pair<NodeId, NodeId>> edges;
  for (NodeId i = 1; i < n; ++i) {
    edges.emplace_back(static_cast<NodeId>(gen() % i), i);
  }
  return make_dag(n, edges);
}

Dag star(std::size_t leaves) {
  std::vector<std::pair<NodeId, NodeId>> edges;
  for (NodeId i = 1; i <= leaves; ++i) edges.emplace_back(0, i);
  return make_dag(leaves + 1, edges);
}

Cpdag make_cpdag(std::size_t n, const std::vector<std::pair<NodeId, NodeId>>& directed,
                 const std::vector<std::pair<NodeId, NodeId>>& undirected) {
  Cpdag g;
  for (std::size_t i = 0; i < n; ++i) g.add_node(std::to_string(i));
  for (auto [u, v] : directed) {
    if (!g.add_directed_edge(u, v)) throw std::logic_error("bad test edge");
  }
  for (auto [u, v] : undirected) {
    if (!g.add_undirected_edge(u, v)) throw std::logic_error("bad test edge");
  }
  return g;
}

Cpdag random_pdag(std::size_t n, double p, double q, std::uint64_t seed) {
  std::mt19937_64 gen(seed);
  std::bernoulli_distribution edge(p), undirected(q);
  std::vector<std::pair<NodeId, NodeId>> d, u;
  for (NodeId i = 0; i < n; ++i) {
    for (NodeId j = i + 1; j < n; ++j) {
      if (edge(gen)) (undirected(gen) ? u : d).emplace_back(i, j);
    }
  }
  // Insertion order decides adjacency-list order: vary it too.
  std::shuffle(d.begin(), d.end(), gen);
  std::shuffle(u.begin(), u.end(), gen);
  for (auto& e : u) {
    if (gen() & 1) std::swap(e.first, e.second);
  }
  return make_cpdag(n, d, u);
}

}  // namespace morvend::testing

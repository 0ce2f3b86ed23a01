// Test-only helpers: small graph builders and random DAGs (Result matchers are
// in result_matchers.hpp).
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "cpdag/cpdag.hpp"
#include "graph/dag.hpp"

namespace morvend::testing {

// make_dag: nodes named "0".."n-1" (ids equal to names), then the edges in order.
Dag make_dag(std::size_t n, const std::vector<std::pair<NodeId, NodeId>>& edges);

// chain: 0 -> 1 -> ... -> n-1.
Dag chain(std::size_t n);

// random_dag: each pair i < j gets the edge i -> j with probability p, from a
// fixed seed, so failures reproduce.
Dag random_dag(std::size_t n, double p, std::uint64_t seed);

// random_tree: node i > 0 gets a parent drawn from 0 .. i-1.
Dag random_tree(std::size_t n, std::uint64_t seed);

// star: node 0 with `leaves` children.
Dag star(std::size_t leaves);

// make_cpdag: nodes "0".."n-1", then the directed and the undirected edges in order.
Cpdag make_cpdag(std::size_t n, const std::vector<std::pair<NodeId, NodeId>>& directed,
                 const std::vector<std::pair<NodeId, NodeId>>& undirected);

// random_pdag: the skeleton of random_dag(n, p, seed), each edge undirected
// with probability q and otherwise directed i -> j (i < j), so the directed
// part is acyclic; the undirected edges may or may not have an extension.
// Edges are inserted in a shuffled order, undirected ones either way round.
Cpdag random_pdag(std::size_t n, double p, double q, std::uint64_t seed);

}  // namespace morvend::testing

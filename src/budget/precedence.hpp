// Precedence probabilities: P(j before i), the probability that node j
// comes before node i in a uniform random linear extension. A game with
// additive and pairwise terms, v(S) = sum a_i + sum over pairs in S of b_ij,
// has ASV a_i + sum_j b_ij * P(j before i): this is what makes such a
// surrogate's values exact.
//
//   std::vector<double> p = pair_precedence(lattice, pairs);  // P(first before second)
#pragma once

#include <span>
#include <vector>

#include "asv/ideal_lattice.hpp"
#include "budget/surrogate.hpp"

namespace morvend {

// pair_precedence: for each pair (i, j) of the lattice's nodes, P(i before
// j), from the transitions that add j: O(transitions + pairs) time and
// memory. Fails only when interrupted.
[[nodiscard]] Result<std::vector<double>> pair_precedence(const IdealLattice& lattice,
                                                          std::span<const NodePair> pairs);

// triple_last: for each triple of the lattice's nodes, P(each of its nodes
// comes last of the three), three in a row: from the transitions that add
// a node of a triple to a prefix holding the other two. O(transitions +
// triples) time. Fails only when interrupted.
[[nodiscard]] Result<std::vector<double>> triple_last(const IdealLattice& lattice,
                                                      std::span<const NodeTriple> triples);

// expected_ranks: for each node of the lattice, its mean position (1 for
// first) in a uniform random linear extension. A node alone in its
// component comes before the node of rank q of a component of b nodes with
// probability q / (b + 1), so these give such pairs' precedence.
[[nodiscard]] std::vector<double> expected_ranks(const IdealLattice& lattice);

}  // namespace morvend

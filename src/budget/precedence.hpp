// Precedence probabilities: P[j][i], the probability that node j comes
// before node i in a uniform random linear extension. A game with additive
// and pairwise terms, v(S) = sum a_i + sum over pairs in S of b_ij, has
// ASV a_i + sum_j b_ij * P[j][i]: this is what makes such a surrogate's
// values exact.
//
//   std::vector<double> p = precedence(lattice);  // p[j * n + i]
#pragma once

#include <vector>

#include "budget/ideal_lattice.hpp"

namespace morvend {

// precedence: from the lattice's transitions, O(transitions * n / 64) words
// read. Row j, column i at [j * n + i]; the diagonal is 0.
[[nodiscard]] Result<std::vector<double>> precedence(const IdealLattice& lattice);

}  // namespace morvend

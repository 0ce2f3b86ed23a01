#include "budget/exact_within.hpp"

#include <cmath>

#include "budget/coalitions.hpp"

namespace morvend {
namespace {

// contributions: the weighted sums, compensated (Neumaier), so a lattice of
// millions of transitions still adds up to the last bits.
std::vector<double> contributions(const IdealLattice& l, const std::vector<double>& v) {
  std::vector<double> sum(l.n_nodes, 0.0), comp(l.n_nodes, 0.0);
  for (std::size_t i = 0; i < l.size(); ++i) {
    for (std::size_t t = l.out_begin[i]; t < l.out_begin[i + 1]; ++t) {
      const NodeId x = l.out_node[t];
      const double term = (v[l.out_to[t]] - v[i]) * l.weight(i, t);
      const double s = sum[x] + term;
      comp[x] += std::abs(sum[x]) >= std::abs(term) ? (sum[x] - s) + term : (term - s) + sum[x];
      sum[x] = s;
    }
  }
  for (std::size_t x = 0; x < l.n_nodes; ++x) sum[x] += comp[x];
  return sum;
}

}  // namespace

Result<std::vector<double>> exact_over_ideals(const IdealLattice& lattice, ValueOracle& oracle,
                                              CallProgress* progress) {
  Result<std::vector<double>> values = evaluate(lattice.sets, lattice.words, oracle, 1, progress);
  if (!values) return std::unexpected(std::move(values.error()));
  return contributions(lattice, *values);
}

Result<std::vector<double>> exact_over_ideals(const IdealLattice& lattice, BatchValueOracle& oracle,
                                              std::size_t batch_size, CallProgress* progress) {
  Result<std::vector<double>> values =
      evaluate(lattice.sets, lattice.words, oracle, batch_size, progress);
  if (!values) return std::unexpected(std::move(values.error()));
  return contributions(lattice, *values);
}

}  // namespace morvend

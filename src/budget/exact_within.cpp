#include "budget/exact_within.hpp"

#include "budget/evaluate.hpp"
#include "estimation/importance_sums.hpp"

namespace morvend {
namespace {

// contributions: the weighted sums, compensated, so a lattice of millions of
// transitions still adds up to the last bits.
std::vector<double> contributions(const IdealLattice& l, const std::vector<double>& v) {
  std::vector<detail::KahanSum> sum(l.n_nodes);
  for (std::size_t i = 0; i < l.size(); ++i) {
    for (std::size_t t = l.out_begin[i]; t < l.out_begin[i + 1]; ++t) {
      sum[l.out_node[t]].add((v[l.out_to[t]] - v[i]) * l.weight(i, t));
    }
  }
  std::vector<double> out(l.n_nodes);
  for (std::size_t x = 0; x < l.n_nodes; ++x) out[x] = sum[x].sum;
  return out;
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

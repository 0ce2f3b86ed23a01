#include "budget/exact_within.hpp"

#include <algorithm>

#include "graph/interrupt.hpp"
#include "sampler/sampler.hpp"

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
  std::vector<double> values(lattice.size());
  for (std::size_t i = 0; i < lattice.size(); ++i) {
    if (Result<void> r = check_interrupt(); !r) return std::unexpected(std::move(r.error()));
    Result<double> v = oracle.value(lattice.set(i));
    if (!v) return std::unexpected(std::move(v.error()));
    values[i] = *v;
    if (progress != nullptr) progress->calls_done(i + 1);
  }
  return contributions(lattice, values);
}

Result<std::vector<double>> exact_over_ideals(const IdealLattice& lattice, BatchValueOracle& oracle,
                                              std::size_t batch_size, CallProgress* progress) {
  const std::size_t chunk = std::max<std::size_t>(batch_size, 1);
  std::vector<double> values;
  values.reserve(lattice.size());
  for (std::size_t first = 0; first < lattice.size(); first += chunk) {
    if (Result<void> r = check_interrupt(); !r) return std::unexpected(std::move(r.error()));
    const std::size_t count = std::min(chunk, lattice.size() - first);
    Result<std::vector<double>> got =
        oracle.values(std::span<const std::uint64_t>(lattice.sets)
                          .subspan(first * lattice.words, count * lattice.words),
                      count);
    if (!got) return std::unexpected(std::move(got.error()));
    if (got->size() != count) return std::unexpected(batch_length_error(got->size(), count));
    values.insert(values.end(), got->begin(), got->end());
    if (progress != nullptr) progress->calls_done(values.size());
  }
  return contributions(lattice, values);
}

}  // namespace morvend

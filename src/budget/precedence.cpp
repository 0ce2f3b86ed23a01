#include "budget/precedence.hpp"

#include "graph/interrupt_meter.hpp"

namespace morvend {

Result<std::vector<double>> precedence(const IdealLattice& l) {
  const std::size_t n = l.n_nodes;
  std::vector<double> p(n * n, 0.0);
  InterruptMeter meter;
  // Node i comes right after the prefix S with the transition's weight; every
  // j in S then precedes it.
  for (std::size_t s = 0; s < l.size(); ++s) {
    const auto set = l.set(s);
    for (std::size_t t = l.out_begin[s]; t < l.out_begin[s + 1]; ++t) {
      if (Result<void> r = meter.spend(n); !r) return std::unexpected(std::move(r.error()));
      const NodeId i = l.out_node[t];
      const double w = l.weight(s, t);
      for (std::size_t word = 0; word < set.size(); ++word) {
        for (std::uint64_t rest = set[word]; rest != 0; rest &= rest - 1) {
          const std::size_t j = word * 64 + static_cast<std::size_t>(__builtin_ctzll(rest));
          p[j * n + i] += w;
        }
      }
    }
  }
  return p;
}

}  // namespace morvend

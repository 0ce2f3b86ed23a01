#include "dag_dp/dag_dp.hpp"

#include <cmath>
#include <limits>
#include <vector>

#include "dag_dp_sparse/dag_dp_sparse.hpp"
#include "graph/interrupt.hpp"

namespace morvend {

Result<AsvResult> exact_dag(const ExplainerState& state, ValueOracle& oracle) {
  if (Result<void> r = state.graph().validate(); !r) return std::unexpected(r.error());
  const std::size_t n = state.n_nodes();
  if (n > 20) {
    return std::unexpected(AsvError::invalid_configuration(
        "exact_dag requires n \xe2\x89\xa4 20 (2^n DP states), got " + std::to_string(n)));
  }
  const auto& pm = state.parent_masks();
  const std::uint64_t size = std::uint64_t{1} << n;
  const std::uint64_t full = size - 1;

  // Orders of each order ideal (0 for every other mask), pushed forward.
  std::vector<std::uint64_t> dp_fwd(size, 0);
  dp_fwd[0] = 1;
  // Each sweep covers up to 2^20 sets: look up every 4096 of them.
  auto check_every_4096 = [](std::uint64_t s) {
    return (s & 4095) == 0 ? check_interrupt() : Result<void>{};
  };
  for (std::uint64_t s = 0; s < size; ++s) {
    if (Result<void> r = check_every_4096(s); !r) return std::unexpected(r.error());
    if (dp_fwd[s] == 0) continue;
    for (std::size_t x = 0; x < n; ++x) {
      const std::uint64_t bit = std::uint64_t{1} << x;
      if ((s & bit) || (pm[x] & ~s)) continue;
      if (__builtin_add_overflow(dp_fwd[s | bit], dp_fwd[s], &dp_fwd[s | bit])) {
        return std::unexpected(count_overflow("dp_fwd", s));
      }
    }
  }
  // Orders of the subgraph induced by each set.
  std::vector<std::uint64_t> dp_ind(size, 0);
  dp_ind[0] = 1;
  for (std::uint64_t s = 1; s < size; ++s) {
    if (Result<void> r = check_every_4096(s); !r) return std::unexpected(r.error());
    for (std::uint64_t rest = s; rest != 0; rest &= rest - 1) {
      const int x = __builtin_ctzll(rest);
      if ((pm[x] & s) != 0) continue;
      if (__builtin_add_overflow(dp_ind[s], dp_ind[s & ~(std::uint64_t{1} << x)], &dp_ind[s])) {
        return std::unexpected(count_overflow("dp_ind", s));
      }
    }
  }
  const double total = static_cast<double>(dp_ind[full]);

  std::vector<double> acc(n, 0.0);
  std::vector<double> table(size, std::numeric_limits<double>::quiet_NaN());
  auto value_of = [&](std::uint64_t mask) -> Result<double> {
    if (!std::isnan(table[mask])) return table[mask];
    Result<double> v = oracle.value(Coalition(&mask, 1));
    if (v) table[mask] = *v;
    return v;
  };
  for (std::uint64_t s = 0; s < size; ++s) {
    if (Result<void> r = check_every_4096(s); !r) return std::unexpected(r.error());
    if (dp_fwd[s] == 0) continue;
    Result<double> vs = value_of(s);
    if (!vs) return std::unexpected(vs.error());
    for (std::size_t x = 0; x < n; ++x) {
      const std::uint64_t bit = std::uint64_t{1} << x;
      if ((s & bit) || (pm[x] & ~s)) continue;
      const std::uint64_t l = s | bit;
      const double w = static_cast<double>(dp_ind[full ^ l]) * static_cast<double>(dp_fwd[s]);
      Result<double> vl = value_of(l);
      if (!vl) return std::unexpected(vl.error());
      acc[x] = (*vl - *vs) * w + acc[x];
    }
  }
  for (double& v : acc) v /= total;
  return AsvResult::exact(std::move(acc), size);
}

}  // namespace morvend

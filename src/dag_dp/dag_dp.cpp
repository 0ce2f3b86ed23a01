#include "dag_dp/dag_dp.hpp"

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "asv/completion_count.hpp"
#include "graph/interrupt.hpp"
#include "graph/limits.hpp"
#include "graph/method_names.hpp"

namespace morvend {
namespace {

// Each sweep covers up to 2^20 sets: look up every 4096 of them.
Result<void> check_every_4096(std::uint64_t s) {
  return (s & 4095) == 0 ? check_interrupt() : Result<void>{};
}

// forward_counts: the orders of each order ideal (0 for every other mask),
// pushed forward from the empty set.
Result<std::vector<std::uint64_t>> forward_counts(std::span<const std::uint64_t> pm,
                                                  std::uint64_t size) {
  const std::size_t n = pm.size();
  std::vector<std::uint64_t> dp_fwd(size, 0);
  dp_fwd[0] = 1;
  for (std::uint64_t s = 0; s < size; ++s) {
    if (Result<void> r = check_every_4096(s); !r) return std::unexpected(r.error());
    if (dp_fwd[s] == 0) continue;
    for (std::size_t x = 0; x < n; ++x) {
      const std::uint64_t bit = std::uint64_t{1} << x;
      if ((s & bit) || (pm[x] & ~s)) continue;
      if (__builtin_add_overflow(dp_fwd[s | bit], dp_fwd[s], &dp_fwd[s | bit])) {
        return std::unexpected(count_overflow(kForwardTable, s));
      }
    }
  }
  return dp_fwd;
}

// induced_counts: the orders of the subgraph induced by each set.
Result<std::vector<std::uint64_t>> induced_counts(std::span<const std::uint64_t> pm,
                                                  std::uint64_t size) {
  std::vector<std::uint64_t> dp_ind(size, 0);
  dp_ind[0] = 1;
  for (std::uint64_t s = 1; s < size; ++s) {
    if (Result<void> r = check_every_4096(s); !r) return std::unexpected(r.error());
    for (std::uint64_t rest = s; rest != 0; rest &= rest - 1) {
      const int x = __builtin_ctzll(rest);
      if ((pm[x] & s) != 0) continue;
      if (__builtin_add_overflow(dp_ind[s], dp_ind[s & ~(std::uint64_t{1} << x)], &dp_ind[s])) {
        return std::unexpected(count_overflow(kCompletionTable, s));
      }
    }
  }
  return dp_ind;
}

// weighted_contributions: for every node x, the sum over the ideals S that
// can take x of (v(S + x) - v(S)) * orders(S) * completions(S + x).
Result<std::vector<double>> weighted_contributions(std::span<const std::uint64_t> pm,
                                                   const std::vector<std::uint64_t>& dp_fwd,
                                                   const std::vector<std::uint64_t>& dp_ind,
                                                   ValueOracle& oracle) {
  const std::size_t n = pm.size();
  const std::uint64_t size = dp_fwd.size();
  const std::uint64_t full = size - 1;
  std::vector<double> acc(n, 0.0);
  // NaN marks an entry not asked yet, so a NaN value is asked again.
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
  return acc;
}

}  // namespace

Result<AsvResult> exact_dag(const ExplainerState& state, ValueOracle& oracle) {
  if (Result<void> r = state.graph().validate(); !r) return std::unexpected(r.error());
  const std::size_t n = state.n_nodes();
  if (n > kMaxDenseNodes) {
    return std::unexpected(AsvError::invalid_configuration(
        std::string(method_name::kExactDag) + " requires n \xe2\x89\xa4 " +
        std::to_string(kMaxDenseNodes) + " (2^n DP states), got " + std::to_string(n)));
  }
  const std::span<const std::uint64_t> pm = state.parent_masks();
  const std::uint64_t size = std::uint64_t{1} << n;
  Result<std::vector<std::uint64_t>> dp_fwd = forward_counts(pm, size);
  if (!dp_fwd) return std::unexpected(std::move(dp_fwd.error()));
  Result<std::vector<std::uint64_t>> dp_ind = induced_counts(pm, size);
  if (!dp_ind) return std::unexpected(std::move(dp_ind.error()));
  Result<std::vector<double>> acc = weighted_contributions(pm, *dp_fwd, *dp_ind, oracle);
  if (!acc) return std::unexpected(std::move(acc.error()));
  const double total = static_cast<double>(dp_ind->back());
  for (double& v : *acc) v /= total;
  return AsvResult::exact(std::move(*acc), size);
}

}  // namespace morvend

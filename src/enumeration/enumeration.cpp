#include "enumeration/enumeration.hpp"

#include <string>
#include <vector>

#include "asv/ideal_levels.hpp"
#include "asv/refusals.hpp"
#include "graph/interrupt.hpp"
#include "graph/limits.hpp"
#include "topo/topo.hpp"

namespace morvend {

Result<AsvResult> exact_enumeration(const ExplainerState& state, ValueOracle& oracle) {
  const Dag& g = state.graph();
  if (Result<void> r = g.validate(); !r) return std::unexpected(r.error());
  const std::size_t n = g.n_nodes();
  if (n > kMaxBitmaskNodes) return std::unexpected(bitmask_limit(n));
  const Result<std::optional<std::uint64_t>> counted =
      count_linear_extensions(parent_masks_of(g), kMaxLinearExtensions);
  if (!counted) return std::unexpected(counted.error());
  const std::optional<std::uint64_t> n_orders = *counted;
  if (!n_orders) {
    return std::unexpected(AsvError::invalid_configuration(
        "exact enumerates every linear extension and accepts at most " +
        std::to_string(kMaxLinearExtensions) +
        " of them; this DAG has more: use 'exact_dag_sparse' or 'approx'"));
  }

  ValueLookup value(oracle);
  std::vector<double> acc(n, 0.0);
  std::uint64_t visited = 0;
  Result<void> walked = for_each_linear_extension(g, [&](std::span<const NodeId> order) {
    // Up to ten million orders of cached look-ups: check every 64th.
    if (++visited % 64 == 0) {
      if (Result<void> r = check_interrupt(); !r) return r;
    }
    std::uint64_t prefix = 0;
    for (NodeId x : order) {
      const std::uint64_t with_x = prefix | (std::uint64_t{1} << x);
      Result<double> v_with = value(with_x);
      if (!v_with) return Result<void>(std::unexpected(v_with.error()));
      Result<double> v_without = value(prefix);
      if (!v_without) return Result<void>(std::unexpected(v_without.error()));
      acc[x] = (*v_with - *v_without) + acc[x];
      prefix = with_x;
    }
    return Result<void>{};
  });
  if (!walked) return std::unexpected(walked.error());
  const double scale = 1.0 / static_cast<double>(*n_orders);
  for (double& v : acc) v *= scale;
  return AsvResult::exact(std::move(acc), *n_orders);
}

}  // namespace morvend

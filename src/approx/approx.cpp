#include "approx/approx.hpp"

#include "approx/mask_walkers.hpp"
#include "approx_large/approx_large.hpp"
#include "estimation/pool.hpp"
#include "graph/limits.hpp"

namespace morvend {

using detail::MaskBatchWalker;
using detail::SerialMaskWalker;

Result<AsvResult> approximate(const ExplainerState& state, ValueOracle& oracle,
                              const SamplingOptions& options) {
  if (Result<void> r = detail::check_sampling(options); !r) return std::unexpected(r.error());
  if (state.n_nodes() > kMaxBitmaskNodes) return approximate_large(state, oracle, options);
  if (!options.seed || options.parallel) {
    detail::SharedMaskCache cache;
    return detail::run_pool(state, oracle, options, [&oracle, &cache] {
      return detail::MaskWalker<detail::SharedMaskCache>(oracle, cache);
    });
  }
  SerialMaskWalker walker(oracle);
  return detail::run_serial(state, walker, options.n_samples, *options.seed);
}

Result<AsvResult> approximate_batched(const ExplainerState& state, BatchValueOracle& oracle,
                                      const SamplingOptions& options) {
  if (Result<void> r = detail::check_sampling(options); !r) return std::unexpected(r.error());
  if (state.n_nodes() > kMaxBitmaskNodes) return approximate_batched_large(state, oracle, options);
  MaskBatchWalker walker(oracle);
  return detail::run_batched(state, walker, options);
}

Result<AsvResult> approximate_adaptive(const ExplainerState& state, ValueOracle& oracle,
                                       const AdaptiveOptions& options) {
  if (Result<void> r = detail::check_adaptive(options); !r) return std::unexpected(r.error());
  if (state.n_nodes() > kMaxBitmaskNodes) return approximate_adaptive_large(state, oracle, options);
  detail::ImportanceDraw draw(state.graph());
  SerialMaskWalker walker(oracle);
  return detail::run_adaptive<true>(state.n_nodes(), options, draw, walker);
}

Result<AsvResult> approximate_adaptive_batched(const ExplainerState& state,
                                               BatchValueOracle& oracle,
                                               const AdaptiveOptions& options) {
  if (Result<void> r = detail::check_adaptive(options); !r) return std::unexpected(r.error());
  if (state.n_nodes() > kMaxBitmaskNodes)
    return approximate_adaptive_batched_large(state, oracle, options);
  detail::ImportanceDraw draw(state.graph());
  MaskBatchWalker walker(oracle);
  return detail::run_adaptive<true>(state.n_nodes(), options, draw, walker);
}

}  // namespace morvend

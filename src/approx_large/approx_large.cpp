#include "approx_large/approx_large.hpp"

#include "approx_large/large_walkers.hpp"
#include "estimation/pool.hpp"

namespace morvend {

using detail::LargeBatchWalker;
using detail::SerialLargeWalker;

Result<AsvResult> approximate_large(const ExplainerState& state, ValueOracle& oracle,
                                    const SamplingOptions& options) {
  if (Result<void> r = detail::check_sampling(options); !r) return std::unexpected(r.error());
  const std::size_t n = state.n_nodes();
  if (!options.seed || options.parallel) {
    detail::SharedLargeCache cache(detail::large_cache_capacity(words_for(n)));
    return detail::run_pool(state, oracle, options, [&oracle, &cache, n] {
      return detail::LargeWalker<detail::SharedLargeCache>(oracle, cache, n);
    });
  }
  SerialLargeWalker walker(oracle, n);
  return detail::run_serial(state, walker, options.n_samples, *options.seed);
}

Result<AsvResult> approximate_batched_large(const ExplainerState& state, BatchValueOracle& oracle,
                                            const SamplingOptions& options) {
  if (Result<void> r = detail::check_sampling(options); !r) return std::unexpected(r.error());
  LargeBatchWalker walker(oracle, state.n_nodes());
  return detail::run_batched(state, walker, options);
}

Result<AsvResult> approximate_adaptive_large(const ExplainerState& state, ValueOracle& oracle,
                                             const AdaptiveOptions& options) {
  if (Result<void> r = detail::check_adaptive(options); !r) return std::unexpected(r.error());
  detail::ImportanceDraw draw(state.graph());
  SerialLargeWalker walker(oracle, state.n_nodes());
  return detail::run_adaptive<true>(state.n_nodes(), options, draw, walker);
}

Result<AsvResult> approximate_adaptive_batched_large(const ExplainerState& state,
                                                     BatchValueOracle& oracle,
                                                     const AdaptiveOptions& options) {
  if (Result<void> r = detail::check_adaptive(options); !r) return std::unexpected(r.error());
  detail::ImportanceDraw draw(state.graph());
  LargeBatchWalker walker(oracle, state.n_nodes());
  return detail::run_adaptive<true>(state.n_nodes(), options, draw, walker);
}

}  // namespace morvend

#include "estimation/estimators.hpp"

#include "asv/refusals.hpp"

namespace morvend::detail {

Result<void> check_sampling(const SamplingOptions& options) {
  return check_positive(options.n_samples, "n_samples");
}

Result<void> check_adaptive(const AdaptiveOptions& options) {
  if (Result<void> r = check_positive(options.batch_size, "batch_size"); !r) return r;
  if (options.max_samples < options.min_samples) {
    return std::unexpected(
        AsvError::invalid_configuration("min_samples must be \xe2\x89\xa4 max_samples"));
  }
  return {};
}

SampleRng run_rng(std::optional<std::uint64_t> seed) {
  return seed ? rng_from_seed(*seed) : rng_from_entropy();
}

AsvResult estimate(std::vector<double> values, std::uint64_t n_samples,
                   std::optional<std::uint64_t> seed, double ess) {
  AsvResult r;
  r.values = std::move(values);
  r.n_samples = n_samples;
  r.seed = seed;
  r.ess = ess;
  r.is_exact = false;
  return r;
}

}  // namespace morvend::detail

#include "asv/records.hpp"

#include <cmath>

namespace morvend {

AsvResult::Interval AsvResult::interval(double ci) const {
  const double z = normal_quantile((1.0 + ci) / 2.0);
  const std::size_t n = values.size();
  Interval out{std::vector<double>(n), std::vector<double>(n)};
  for (std::size_t i = 0; i < n; ++i) {
    const double se = stderr_values ? (*stderr_values)[i] : 0.0;
    out.low[i] = values[i] - z * se;
    out.high[i] = values[i] + z * se;
  }
  return out;
}

double normal_quantile(double p) {
  // Abramowitz and Stegun 26.2.23.
  const double t = std::sqrt(-2.0 * std::log(1.0 - p));
  return t - (2.515517 + 0.802853 * t + 0.010328 * (t * t)) /
                 (1.0 + 1.432788 * t + 0.189269 * (t * t) + 0.001308 * (t * t * t));
}

}  // namespace morvend

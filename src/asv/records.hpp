// The records every engine, estimator and policy shares: the option sets,
// the result record, and how a coalition crosses the value-oracle seam.
//
//   SamplingOptions opts{.n_samples = 10000, .seed = 7};
//   AsvResult r = AsvResult::exact(std::move(values), n_orders);
//   AsvResult::Interval ci = r.interval(0.95);  // value -+ 1.96039... x stderr
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace morvend {

// SamplingOptions: from explain() and explain_with_diagnostics().
struct SamplingOptions {
  std::uint64_t n_samples = 10000;
  // Empty braces: designated initializers may leave these out without a warning.
  std::optional<std::uint64_t> seed{};
  std::optional<std::uint64_t> batch_size{};   // present only on the batch path
  std::optional<std::uint64_t> num_threads{};  // workers of the seeded parallel mode
  bool parallel = false;

  // deterministic: a parallel run with a seed draws from per-worker seeds, so
  // its result does not depend on the scheduling.
  bool deterministic() const { return parallel && seed.has_value(); }
};

// AdaptiveOptions: from the adaptive and quality methods.
struct AdaptiveOptions {
  std::uint64_t min_samples = 1000;
  std::uint64_t max_samples = 100000;
  std::uint64_t batch_size = 1000;
  double rel_tol = 0.01;
  double ess_ratio_min = 0.10;
  std::optional<std::uint64_t> seed{};
};

// AsvResult: what every engine returns; the policies add the last three
// text fields, engines leave them empty.
struct AsvResult {
  std::vector<double> values;  // one per node, by NodeId
  std::uint64_t n_samples = 0;
  std::optional<std::uint64_t> seed;
  std::optional<double> ess;
  std::optional<std::vector<double>> stderr_values;  // `stderr` is a macro of <cstdio>
  bool is_exact = false;
  std::optional<bool> converged;
  std::optional<std::string> selected_method;
  std::optional<std::string> fallback_from;
  std::optional<std::string> fallback_reason;
  std::optional<std::uint64_t> n_order_ideals;
  std::optional<double> state_ratio;
  std::optional<double> memory_mb;

  // Interval: the bounds of one interval per node, by NodeId.
  struct Interval {
    std::vector<double> low, high;
  };
  // interval: the normal-approximation interval at level `ci` of each value,
  // value -+ normal_quantile((1 + ci) / 2) x stderr; zero width where the
  // result has no standard errors. REQUIRES: 0 < ci < 1.
  Interval interval(double ci) const;
  // ess_ratio: ess / n_samples, absent when ess is.
  std::optional<double> ess_ratio() const {
    if (!ess) return std::nullopt;
    return *ess / static_cast<double>(n_samples);
  }

  // exact: the record of an exact engine.
  static AsvResult exact(std::vector<double> values, std::uint64_t n_samples) {
    AsvResult r;
    r.values = std::move(values);
    r.n_samples = n_samples;
    r.is_exact = true;
    return r;
  }
};

// normal_quantile: the inverse standard normal CDF at p >= 0.5 (rational
// approximation, absolute error below 4.5e-4).
double normal_quantile(double p);

}  // namespace morvend

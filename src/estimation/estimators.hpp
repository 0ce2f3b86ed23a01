// The estimator loops shared by the one-word estimators and the large-graph
// variants; only the walker (how prefix coalitions are looked up) differs.
//
// A walker serves one run or one pool piece and provides
//   Result<void> prepare(const OrderBatch&);  // before a batch's orders are walked
//   Result<void> walk(std::span<const NodeId> order, Sink sink);  // sink(node, delta)
// Single-form walkers call the value oracle inside walk(); batch walkers fill
// their cache in prepare() and walk from it.
#pragma once

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <vector>

#include "asv/explainer_state.hpp"
#include "asv/records.hpp"
#include "asv/value_oracle.hpp"
#include "estimation/importance_sums.hpp"
#include "graph/interrupt.hpp"
#include "sampler/sampler.hpp"

namespace morvend::detail {

[[nodiscard]] Result<void> check_sampling(const SamplingOptions& options);
[[nodiscard]] Result<void> check_adaptive(const AdaptiveOptions& options);

// run_rng: the run's generator, from the seed or from entropy.
SampleRng run_rng(std::optional<std::uint64_t> seed);

// estimate: the record of an estimator (is_exact false).
AsvResult estimate(std::vector<double> values, std::uint64_t n_samples,
                   std::optional<std::uint64_t> seed, double ess);

// ImportanceDraw: proposal orders of one graph, into a batch or one at a time.
class ImportanceDraw {
 public:
  explicit ImportanceDraw(const Dag& g) : g_(g), in_degree_(in_degrees(g)), scratch_(g.n_nodes()) {}

  // draw: ln q of a new order, left in order().
  double draw(SampleRng& rng) { return sample_order(g_, in_degree_, scratch_, rng); }
  std::span<const NodeId> order() const { return scratch_.order; }
  [[nodiscard]] Result<void> operator()(SampleRng& rng, OrderBatch& batch) {
    const double logq = draw(rng);
    batch.add(order(), logq);
    return {};
  }

 private:
  const Dag& g_;
  std::vector<std::uint64_t> in_degree_;
  SamplerScratch scratch_;
};

// max_log_weight: the largest log-weight -ln q of a batch's orders.
inline double max_log_weight(const OrderBatch& batch) {
  double m = kNegInf;
  for (std::size_t k = 0; k < batch.size(); ++k) m = std::max(m, -batch.logq(k));
  return m;
}

// run_serial: the seeded serial importance estimator. Weights are shifted by
// the running maximum log-weight, so none exceeds 1.
template <class Walker>
[[nodiscard]] Result<AsvResult> run_serial(const ExplainerState& state, Walker& walker,
                                           std::uint64_t n_samples, std::uint64_t seed) {
  SampleRng rng = rng_from_seed(seed);
  ImportanceDraw draw(state.graph());
  ImportanceSums<KahanSum> sums(state.n_nodes(), kNegInf);
  for (std::uint64_t k = 0; k < n_samples; ++k) {
    if (Result<void> r = check_interrupt(); !r) return std::unexpected(std::move(r.error()));
    const double log_weight = -draw.draw(rng);
    sums.raise_shift(log_weight);
    const double w = sums.weigh(log_weight);
    Result<void> walked =
        walker.walk(draw.order(), [&](NodeId i, double delta) { sums.add(i, w * delta); });
    if (!walked) return std::unexpected(std::move(walked.error()));
  }
  return estimate(sums.ratio(), n_samples, seed, sums.ess());
}

// run_batched: importance sampling in batches of batch_size orders, each
// batch prepared at once (one batch call); plain sums, shifted per batch.
template <class Walker>
[[nodiscard]] Result<AsvResult> run_batched(const ExplainerState& state, Walker& walker,
                                            const SamplingOptions& options) {
  const std::size_t n = state.n_nodes();
  const std::uint64_t batch_size = std::max<std::uint64_t>(options.batch_size.value_or(256), 1);
  SampleRng rng = run_rng(options.seed);
  ImportanceDraw draw(state.graph());
  OrderBatch batch(n);
  ImportanceSums<PlainSum> sums(n, kNegInf);
  for (std::uint64_t left = options.n_samples; left > 0;) {
    const std::uint64_t g = std::min(batch_size, left);
    batch.clear();
    for (std::uint64_t k = 0; k < g; ++k) {
      if (Result<void> r = check_interrupt(); !r) return std::unexpected(std::move(r.error()));
      const double logq = draw.draw(rng);
      batch.add(draw.order(), logq);
    }
    if (Result<void> r = walker.prepare(batch); !r) return std::unexpected(std::move(r.error()));
    sums.raise_shift(max_log_weight(batch));
    for (std::size_t k = 0; k < batch.size(); ++k) {
      if (Result<void> r = check_interrupt(); !r) return std::unexpected(std::move(r.error()));
      const double w = sums.weigh(-batch.logq(k));
      Result<void> walked =
          walker.walk(batch.order(k), [&](NodeId i, double delta) { sums.add(i, w * delta); });
      if (!walked) return std::unexpected(std::move(walked.error()));
    }
    left -= g;
  }
  return estimate(sums.ratio(), options.n_samples, options.seed, sums.ess());
}

// largest_change: the largest relative change of the estimates since the
// previous test, which `prev` keeps; a node without a previous estimate
// counts as infinite, a NaN change is ignored.
inline double largest_change(const std::vector<double>& estimates, std::vector<double>& prev) {
  double d = 0.0;
  for (std::size_t i = 0; i < estimates.size(); ++i) {
    const double x = estimates[i];
    const double term =
        std::isnan(prev[i]) ? INFINITY : std::abs(x - prev[i]) / (std::abs(prev[i]) + 1e-10);
    if (term > d) d = term;
    prev[i] = x;
  }
  return d;
}

// adaptive_record: the estimate of `drawn` samples with a standard error per
// node (weighted: of the self-normalised ratio).
template <bool kWeighted>
AsvResult adaptive_record(const ImportanceSums<KahanSum>& sums, std::uint64_t drawn,
                          std::optional<std::uint64_t> seed, bool converged) {
  const std::size_t n = sums.n_nodes();
  const double b = static_cast<double>(drawn);
  std::vector<double> errors(n);
  for (std::size_t i = 0; i < n; ++i) {
    const double mean = sums.phi(i) / b;
    const double s = sums.square(i) / b - mean * mean;
    errors[i] = std::sqrt(std::max(s, 0.0) / b);
    if constexpr (kWeighted) errors[i] /= sums.w1() / b;
  }
  AsvResult result = kWeighted ? estimate(sums.ratio(), drawn, seed, sums.ess())
                               : estimate(sums.ratio(b), drawn, seed, b);
  result.stderr_values = std::move(errors);
  result.converged = converged;
  return result;
}

// run_adaptive: batches until two successive estimates agree within rel_tol
// (relative, per node) or max_samples are drawn. kWeighted: importance
// weights and the ess-ratio gate; otherwise every weight is 1.
// `draw(rng, batch)` appends one order with its ln q.
template <bool kWeighted, class Draw, class Walker>
[[nodiscard]] Result<AsvResult> run_adaptive(std::size_t n, const AdaptiveOptions& options,
                                             Draw& draw, Walker& walker) {
  SampleRng rng = run_rng(options.seed);
  OrderBatch batch(n);
  ImportanceSums<KahanSum> sums(n, kNegInf, /*squares=*/true);
  std::vector<double> prev(n, std::numeric_limits<double>::quiet_NaN());
  std::uint64_t drawn = 0;
  bool converged = false;
  while (drawn < options.max_samples && !converged) {
    const std::uint64_t g = std::min(options.batch_size, options.max_samples - drawn);
    batch.clear();
    for (std::uint64_t k = 0; k < g; ++k) {
      if (Result<void> r = check_interrupt(); !r) return std::unexpected(std::move(r.error()));
      if (Result<void> r = draw(rng, batch); !r) return std::unexpected(std::move(r.error()));
    }
    if (Result<void> r = walker.prepare(batch); !r) return std::unexpected(std::move(r.error()));
    if constexpr (kWeighted) sums.raise_shift(max_log_weight(batch));
    for (std::size_t k = 0; k < batch.size(); ++k) {
      if (Result<void> r = check_interrupt(); !r) return std::unexpected(std::move(r.error()));
      const double w = kWeighted ? sums.weigh(-batch.logq(k)) : 1.0;
      Result<void> walked =
          walker.walk(batch.order(k), [&](NodeId i, double delta) { sums.add(i, w * delta); });
      if (!walked) return std::unexpected(std::move(walked.error()));
    }
    drawn += g;
    if (drawn < options.min_samples) continue;
    const double b = static_cast<double>(drawn);
    if constexpr (kWeighted) {
      if (options.ess_ratio_min > sums.ess() / b) continue;
    }
    converged = largest_change(kWeighted ? sums.ratio() : sums.ratio(b), prev) < options.rel_tol;
  }
  return adaptive_record<kWeighted>(sums, drawn, options.seed, converged);
}

}  // namespace morvend::detail

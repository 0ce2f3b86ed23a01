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
#include "graph/interrupt.hpp"
#include "sampler/sampler.hpp"

namespace morvend::detail {

// KahanSum: compensated running sum.
struct KahanSum {
  double sum = 0.0;
  double c = 0.0;
  void add(double x) {
    const double y = x - c;
    const double t = sum + y;
    c = (t - sum) - y;
    sum = t;
  }
  void scale(double r) {
    sum *= r;
    c *= r;
  }
};

// PlainSum: running sum with KahanSum's interface.
struct PlainSum {
  double sum = 0.0;
  void add(double x) { sum += x; }
  void scale(double r) { sum *= r; }
};

inline constexpr double kNegInf = -std::numeric_limits<double>::infinity();

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

// run_serial: the seeded serial importance estimator. Weights are shifted by
// the running maximum log-weight, so none exceeds 1.
template <class Walker>
[[nodiscard]] Result<AsvResult> run_serial(const ExplainerState& state, Walker& walker,
                                           std::uint64_t n_samples, std::uint64_t seed) {
  const std::size_t n = state.n_nodes();
  SampleRng rng = rng_from_seed(seed);
  ImportanceDraw draw(state.graph());
  std::vector<KahanSum> phi(n);
  KahanSum w1, w2;
  double shift = kNegInf;
  for (std::uint64_t k = 0; k < n_samples; ++k) {
    if (Result<void> r = check_interrupt(); !r) return std::unexpected(std::move(r.error()));
    const double log_weight = -draw.draw(rng);
    if (log_weight > shift) {
      const double r = std::exp(shift - log_weight);
      for (KahanSum& p : phi) p.scale(r);
      w1.scale(r);
      w2.scale(r * r);
      shift = log_weight;
    }
    const double w = std::exp(log_weight - shift);
    w1.add(w);
    w2.add(w * w);
    Result<void> walked =
        walker.walk(draw.order(), [&](NodeId i, double delta) { phi[i].add(w * delta); });
    if (!walked) return std::unexpected(std::move(walked.error()));
  }
  std::vector<double> values(n);
  for (std::size_t i = 0; i < n; ++i) values[i] = phi[i].sum / w1.sum;
  return estimate(std::move(values), n_samples, seed, w1.sum * w1.sum / w2.sum);
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
  std::vector<double> phi(n, 0.0);
  double w1 = 0.0, w2 = 0.0;
  double shift = kNegInf;
  for (std::uint64_t left = options.n_samples; left > 0;) {
    const std::uint64_t g = std::min(batch_size, left);
    batch.clear();
    for (std::uint64_t k = 0; k < g; ++k) {
      if (Result<void> r = check_interrupt(); !r) return std::unexpected(std::move(r.error()));
      const double logq = draw.draw(rng);
      batch.add(draw.order(), logq);
    }
    if (Result<void> r = walker.prepare(batch); !r) return std::unexpected(std::move(r.error()));
    double m = kNegInf;
    for (std::size_t k = 0; k < batch.size(); ++k) m = std::max(m, -batch.logq(k));
    if (m > shift) {
      const double r = std::exp(shift - m);
      for (double& p : phi) p *= r;
      w1 *= r;
      w2 *= r * r;
      shift = m;
    }
    for (std::size_t k = 0; k < batch.size(); ++k) {
      if (Result<void> r = check_interrupt(); !r) return std::unexpected(std::move(r.error()));
      const double w = std::exp(-batch.logq(k) - shift);
      w1 += w;
      w2 += w * w;
      Result<void> walked =
          walker.walk(batch.order(k), [&](NodeId i, double delta) { phi[i] += w * delta; });
      if (!walked) return std::unexpected(std::move(walked.error()));
    }
    left -= g;
  }
  for (double& p : phi) p /= w1;
  return estimate(std::move(phi), options.n_samples, options.seed, w1 * w1 / w2);
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
  std::vector<KahanSum> p(n), q(n);
  KahanSum w1, w2;
  double shift = kNegInf;
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
    if constexpr (kWeighted) {
      double m = kNegInf;
      for (std::size_t k = 0; k < batch.size(); ++k) m = std::max(m, -batch.logq(k));
      if (m > shift) {
        const double r = std::exp(shift - m);
        for (std::size_t i = 0; i < n; ++i) {
          p[i].scale(r);
          q[i].scale(r * r);
        }
        w1.scale(r);
        w2.scale(r * r);
        shift = m;
      }
    }
    for (std::size_t k = 0; k < batch.size(); ++k) {
      if (Result<void> r = check_interrupt(); !r) return std::unexpected(std::move(r.error()));
      double w = 1.0;
      if constexpr (kWeighted) {
        w = std::exp(-batch.logq(k) - shift);
        w1.add(w);
        w2.add(w * w);
      }
      Result<void> walked = walker.walk(batch.order(k), [&](NodeId i, double delta) {
        const double x = w * delta;
        p[i].add(x);
        q[i].add(x * x);
      });
      if (!walked) return std::unexpected(std::move(walked.error()));
    }
    drawn += g;
    if (drawn < options.min_samples) continue;
    const double b = static_cast<double>(drawn);
    if constexpr (kWeighted) {
      const double ess_ratio = (w1.sum * w1.sum / w2.sum) / b;
      if (options.ess_ratio_min > ess_ratio) continue;
    }
    // D: the largest relative change since the previous test; a node without
    // a previous estimate counts as infinite, a NaN change is ignored.
    double d = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
      const double x = p[i].sum / (kWeighted ? w1.sum : b);
      const double term =
          std::isnan(prev[i]) ? INFINITY : std::abs(x - prev[i]) / (std::abs(prev[i]) + 1e-10);
      if (term > d) d = term;
      prev[i] = x;
    }
    converged = d < options.rel_tol;
  }
  const double b = static_cast<double>(drawn);
  const double total = kWeighted ? w1.sum : b;
  std::vector<double> values(n), errors(n);
  for (std::size_t i = 0; i < n; ++i) {
    values[i] = p[i].sum / total;
    const double mean = p[i].sum / b;
    const double s = q[i].sum / b - mean * mean;
    errors[i] = std::sqrt(std::max(s, 0.0) / b);
    if constexpr (kWeighted) errors[i] /= w1.sum / b;
  }
  AsvResult result =
      estimate(std::move(values), drawn, options.seed, kWeighted ? w1.sum * w1.sum / w2.sum : b);
  result.stderr_values = std::move(errors);
  result.converged = converged;
  return result;
}

}  // namespace morvend::detail

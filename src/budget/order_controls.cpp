#include "budget/order_controls.hpp"

#include <algorithm>
#include <cmath>

#include "budget/surrogate.hpp"
#include "graph/interrupt_meter.hpp"
#include "graph/limits.hpp"

namespace morvend {
namespace {

// strongest: the partners of j worth a control, strongest first, by their
// correlation with y once j's own position is taken out of both: every
// [i before j] grows with j's position, so a partner that matters would
// otherwise drag every other one in with it. The largest squared
// correlation of c unrelated indicators over m orders is about 2 ln(c) / m;
// below it, a partner is more likely noise than signal. A partner needs
// kControlRowsPerTerm orders each way round: fitted on fewer, its weight
// took the spread of a rare ordering out of the rows while missing what
// rarer orderings inside it add, and the error shrank below the miss (a
// node of a 29-node DAG off by 20 standard errors in 2 runs of 100).
std::vector<NodeId> strongest(const OrderTable& t, std::span<const double> y,
                              std::span<const std::size_t> train, NodeId j,
                              std::span<const NodeId> partners) {
  const double m = double(train.size());
  double sy = 0.0, syy = 0.0, st = 0.0, stt = 0.0, sty = 0.0;
  for (std::size_t r : train) {
    const double v = y[r * t.n + j], pos = double(t.position[r * t.n + j]);
    sy += v;
    syy += v * v;
    st += pos;
    stt += pos * pos;
    sty += pos * v;
  }
  const double mean_y = sy / m, mean_t = st / m;
  const double var_t = stt / m - mean_t * mean_t, cov_ty = sty / m - mean_t * mean_y;
  // y's variance left once its regression on j's position is taken out.
  const double var_y = syy / m - mean_y * mean_y - (var_t > 0.0 ? cov_ty * cov_ty / var_t : 0.0);
  if (!(var_y > 0.0)) return {};
  const double chance = 2.0 * std::log(double(partners.size()) + 1.0) / m;
  std::vector<std::pair<double, NodeId>> kept;
  for (NodeId i : partners) {
    double sx = 0.0, sxy = 0.0, sxt = 0.0;
    for (std::size_t r : train) {
      if (t.before(r, i, j)) {
        sx += 1.0;
        sxy += y[r * t.n + j];
        sxt += double(t.position[r * t.n + j]);
      }
    }
    const double p = sx / m, cov_tx = sxt / m - mean_t * p;
    double var_x = p * (1.0 - p), cov = sxy / m - mean_y * p;
    if (var_t > 0.0) {
      var_x -= cov_tx * cov_tx / var_t;
      cov -= cov_tx * cov_ty / var_t;
    }
    if (std::min(sx, m - sx) < double(kControlRowsPerTerm) || var_x <= 1e-12) continue;
    if (const double r2 = cov * cov / (var_x * var_y); r2 > chance) kept.emplace_back(r2, i);
  }
  std::ranges::sort(kept, std::greater<>{});
  const auto most = static_cast<std::size_t>(m / double(kControlRowsPerTerm));
  if (kept.size() > most) kept.resize(most);
  std::vector<NodeId> out;
  for (const auto& [r2, i] : kept) out.push_back(i);
  return out;
}

}  // namespace

Result<std::vector<std::vector<Control>>> fit_controls(const OrderTable& t, std::span<const double> y,
                                                       std::span<const std::size_t> train,
                                                       const std::vector<std::vector<NodeId>>& partners) {
  std::vector<std::vector<Control>> out(t.n);
  const double m = double(train.size());
  InterruptMeter meter;
  std::vector<double> x;
  for (NodeId j = 0; j < t.n; ++j) {
    if (Result<void> r = meter.spend(train.size() * (partners[j].size() + 1)); !r) {
      return std::unexpected(r.error());
    }
    const std::vector<NodeId> chosen = strongest(t, y, train, j, partners[j]);
    const std::size_t d = chosen.size();
    if (d == 0) continue;
    // Centred least squares with a ridge of kControlRidgeRows rows of each
    // indicator's own spread.
    std::vector<double> mean_x(d, 0.0), gram(d * d, 0.0), rhs(d, 0.0);
    double mean_y = 0.0;
    for (std::size_t r : train) {
      mean_y += y[r * t.n + j];
      for (std::size_t a = 0; a < d; ++a) mean_x[a] += t.before(r, chosen[a], j);
    }
    mean_y /= m;
    for (double& v : mean_x) v /= m;
    x.resize(d);
    for (std::size_t r : train) {
      for (std::size_t a = 0; a < d; ++a) x[a] = double(t.before(r, chosen[a], j)) - mean_x[a];
      const double dy = y[r * t.n + j] - mean_y;
      for (std::size_t a = 0; a < d; ++a) {
        rhs[a] += x[a] * dy;
        for (std::size_t b = 0; b <= a; ++b) gram[a * d + b] += x[a] * x[b];
      }
    }
    for (std::size_t a = 0; a < d; ++a) {
      for (std::size_t b = 0; b < a; ++b) gram[b * d + a] = gram[a * d + b];
      gram[a * d + a] *= 1.0 + kControlRidgeRows / m;
    }
    Result<std::vector<double>> w = solve_spd(gram, std::move(rhs), d);
    if (!w) return std::unexpected(std::move(w.error()));
    for (std::size_t a = 0; a < d; ++a) out[j].push_back({.partner = chosen[a], .weight = (*w)[a]});
  }
  return out;
}

}  // namespace morvend

#include "budget/surrogate.hpp"

#include <algorithm>
#include <cmath>

namespace morvend {
namespace {

// features: the coefficient indices active for `set`, intercept first;
// `members` is scratch.
void features(std::size_t n, bool pairs, std::span<const std::uint64_t> set,
              std::vector<std::size_t>& members, std::vector<std::size_t>& out) {
  members.clear();
  for (std::size_t w = 0; w < set.size(); ++w) {
    for (std::uint64_t rest = set[w]; rest != 0; rest &= rest - 1) {
      members.push_back(w * 64 + static_cast<std::size_t>(__builtin_ctzll(rest)));
    }
  }
  out.clear();
  out.push_back(0);
  for (std::size_t i : members) out.push_back(1 + i);
  if (!pairs) return;
  for (std::size_t a = 0; a < members.size(); ++a) {
    const std::size_t i = members[a];
    // Row i of the upper triangle starts after rows 0..i-1.
    const std::size_t row = 1 + n + i * (2 * n - i - 1) / 2;
    for (std::size_t b = a + 1; b < members.size(); ++b) out.push_back(row + (members[b] - i - 1));
  }
}

// solve_spd: solves A x = b for a symmetric positive definite A (p x p, row
// major) by Cholesky, in place.
std::vector<double> solve_spd(std::vector<double>& a, std::vector<double> b, std::size_t p) {
  for (std::size_t j = 0; j < p; ++j) {
    double d = a[j * p + j];
    for (std::size_t k = 0; k < j; ++k) d -= a[j * p + k] * a[j * p + k];
    d = std::sqrt(d);
    a[j * p + j] = d;
    for (std::size_t i = j + 1; i < p; ++i) {
      double s = a[i * p + j];
      for (std::size_t k = 0; k < j; ++k) s -= a[i * p + k] * a[j * p + k];
      a[i * p + j] = s / d;
    }
  }
  for (std::size_t i = 0; i < p; ++i) {  // L y = b
    for (std::size_t k = 0; k < i; ++k) b[i] -= a[i * p + k] * b[k];
    b[i] /= a[i * p + i];
  }
  for (std::size_t i = p; i-- > 0;) {  // L^T x = y
    for (std::size_t k = i + 1; k < p; ++k) b[i] -= a[k * p + i] * b[k];
    b[i] /= a[i * p + i];
  }
  return b;
}

}  // namespace

PairSurrogate PairSurrogate::fit(std::size_t n, std::size_t words,
                                 std::span<const std::uint64_t> sets,
                                 std::span<const double> values, bool pairs,
                                 std::span<const double> weights) {
  PairSurrogate g;
  g.n_ = n;
  g.pairs_ = pairs;
  const std::size_t p = terms(n, pairs);
  std::vector<double> gram(p * p, 0.0), rhs(p, 0.0);
  std::vector<std::size_t> members, active;
  double total_weight = 0.0;
  for (std::size_t k = 0; k < values.size(); ++k) {
    features(n, pairs, sets.subspan(k * words, words), members, active);
    const double w = weights.empty() ? 1.0 : weights[k];
    total_weight += w;
    for (std::size_t a : active) {
      rhs[a] += w * values[k];
      for (std::size_t b : active) gram[a * p + b] += w;
    }
  }
  // Ridge relative to the data's scale: terms no coalition separates get a
  // zero coefficient, the others are not moved measurably.
  const double ridge = 1e-12 * (1.0 + total_weight);
  for (std::size_t a = 0; a < p; ++a) gram[a * p + a] += ridge;
  g.coef_ = solve_spd(gram, std::move(rhs), p);
  return g;
}

double PairSurrogate::operator()(std::span<const std::uint64_t> set) const {
  std::vector<std::size_t> members, active;
  features(n_, pairs_, set, members, active);
  double v = 0.0;
  for (std::size_t a : active) v += coef_[a];
  return v;
}

void PairSurrogate::marginals(std::span<const std::uint32_t> order,
                              std::vector<double>& out) const {
  out.assign(n_, 0.0);
  for (std::size_t t = 0; t < order.size(); ++t) {
    const std::size_t x = order[t];
    double d = coef_[1 + x];
    if (pairs_) {
      for (std::size_t u = 0; u < t; ++u) {
        const std::size_t j = order[u];
        const std::size_t i = std::min(j, x), k = std::max(j, x);
        d += coef_[1 + n_ + i * (2 * n_ - i - 1) / 2 + (k - i - 1)];
      }
    }
    out[x] = d;
  }
}

std::vector<double> PairSurrogate::asv(std::span<const double> precedence) const {
  std::vector<double> phi(coef_.begin() + 1, coef_.begin() + 1 + static_cast<std::ptrdiff_t>(n_));
  if (!pairs_) return phi;
  std::size_t k = 1 + n_;
  for (std::size_t i = 0; i < n_; ++i) {
    for (std::size_t j = i + 1; j < n_; ++j, ++k) {
      // b_ij goes to whichever of i and j comes second.
      phi[i] += coef_[k] * precedence[j * n_ + i];
      phi[j] += coef_[k] * precedence[i * n_ + j];
    }
  }
  return phi;
}

}  // namespace morvend

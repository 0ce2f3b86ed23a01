// ImportanceSums: the running sums of one estimate, shared by every
// estimator: per node the sum of weighted contributions w * delta (and of
// their squares, for standard errors), and the sums of the weights and of
// their squares (for the effective sample size).
//
// Importance weights exp(-ln q) overflow long before the estimate does, so
// each weight is held as exp(log_weight - shift); raising the shift rescales
// every sum at once. Unweighted estimators add contributions only.
//
//   ImportanceSums<KahanSum> sums(n, kNegInf);
//   sums.raise_shift(log_weight);
//   const double w = sums.weigh(log_weight);
//   sums.add(i, w * delta);
//   sums.ratio();  // per node: sum of w * delta over sum of w
#pragma once

#include <cmath>
#include <cstddef>
#include <limits>
#include <vector>

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

template <class Sum>
class ImportanceSums {
 public:
  // n nodes (0: nothing added yet, see merge), weights held relative to
  // `shift`; with `squares`, sums of squared contributions too.
  ImportanceSums() = default;
  explicit ImportanceSums(std::size_t n, double shift = 0.0, bool squares = false)
      : phi_(n), squares_(squares ? n : 0), shift_(shift) {}

  std::size_t n_nodes() const { return phi_.size(); }
  double shift() const { return shift_; }
  double w1() const { return w1_.sum; }
  double w2() const { return w2_.sum; }
  double phi(std::size_t i) const { return phi_[i].sum; }
  double square(std::size_t i) const { return squares_[i].sum; }

  // shift_to: rescales every sum from the current shift to `shift`.
  void shift_to(double shift) {
    const double r = std::exp(shift_ - shift);
    for (Sum& p : phi_) p.scale(r);
    for (Sum& q : squares_) q.scale(r * r);
    w1_.scale(r);
    w2_.scale(r * r);
    shift_ = shift;
  }
  // raise_shift: shift_to(log_weight) when it is above the current shift.
  void raise_shift(double log_weight) {
    if (log_weight > shift_) shift_to(log_weight);
  }
  // weigh: the weight of a sample relative to the shift, added to the
  // weight sums.
  double weigh(double log_weight) {
    const double w = std::exp(log_weight - shift_);
    w1_.add(w);
    w2_.add(w * w);
    return w;
  }
  // add: a weighted contribution x of node i.
  void add(std::size_t i, double x) {
    phi_[i].add(x);
    if (!squares_.empty()) squares_[i].add(x * x);
  }
  // merge: adds `other`'s sums, both at the same shift; a merge into sums of
  // no node starts from zero sums of other's size.
  void merge(const ImportanceSums& other) {
    if (phi_.empty()) phi_.resize(other.phi_.size());
    for (std::size_t i = 0; i < phi_.size(); ++i) phi_[i].add(other.phi_[i].sum);
    w1_.add(other.w1_.sum);
    w2_.add(other.w2_.sum);
  }
  // plain: the sums without their compensation terms.
  ImportanceSums<PlainSum> plain() const {
    ImportanceSums<PlainSum> out(0, shift_);
    out.phi_.reserve(phi_.size());
    for (const Sum& p : phi_) out.phi_.push_back(PlainSum{p.sum});
    out.w1_.sum = w1_.sum;
    out.w2_.sum = w2_.sum;
    return out;
  }

  // ratio: per node, the weighted contributions over `total` (the weight sum
  // by default: the self-normalised importance estimate).
  std::vector<double> ratio() const { return ratio(w1_.sum); }
  std::vector<double> ratio(double total) const {
    std::vector<double> values(phi_.size());
    for (std::size_t i = 0; i < phi_.size(); ++i) values[i] = phi_[i].sum / total;
    return values;
  }
  // ess: the effective sample size of the weights.
  double ess() const { return w1_.sum * w1_.sum / w2_.sum; }

 private:
  template <class>
  friend class ImportanceSums;

  std::vector<Sum> phi_;
  std::vector<Sum> squares_;
  Sum w1_, w2_;
  double shift_ = 0.0;
};

}  // namespace morvend::detail

// ScaledCount: a non-negative count of any size (numbers of linear extensions
// reach 1000! on a thousand nodes) with a 106-bit significand: a double-double
// (hi + lo) times 2^exp, hi in [1, 2).
//
// Error bound. Each add or mul of non-negative operands rounds by a relative
// error of at most d = 2^-104 (double-double arithmetic of the same sign,
// Dekker's split and two-sum: no fused multiply-add, so every platform rounds
// alike). A count built as a sum of earlier counts carries at most the error
// of its terms plus d, so after T additions in all it is within T * d; a
// lattice of 10^9 transitions keeps every count within 6e-23. Turning a ratio
// of two counts into a double adds one rounding, 2^-53, and a product one
// more d: weights are within 1.2e-16 of the exact rationals.
//
//   ScaledCount a = ScaledCount::one(), b = a + a;   // 2
//   double half = ratio(a, b);                        // 0.5
#pragma once

#include <cmath>
#include <cstdint>
#include <utility>

namespace morvend {

class ScaledCount {
 public:
  ScaledCount() = default;
  static ScaledCount one() { return ScaledCount(1.0, 0.0, 0); }
  static ScaledCount of(std::uint64_t n) {
    // Exact: the high 53 bits and the rest.
    const double hi = static_cast<double>(n & ~std::uint64_t{0x7ff});
    const double lo = static_cast<double>(n & 0x7ff);
    ScaledCount c(hi, 0.0, 0);
    return c + ScaledCount(lo, 0.0, 0);
  }

  // times_pow2: this count times 2^e, exactly.
  ScaledCount times_pow2(std::int64_t e) const {
    ScaledCount c = *this;
    if (!c.is_zero()) c.exp_ += e;
    return c;
  }

  bool is_zero() const { return hi_ == 0.0; }
  double hi() const { return hi_; }
  double lo() const { return lo_; }
  std::int64_t exp() const { return exp_; }

  friend ScaledCount operator+(ScaledCount a, ScaledCount b) {
    if (b.is_zero()) return a;
    if (a.is_zero()) return b;
    if (a.exp_ < b.exp_) std::swap(a, b);
    const std::int64_t d = a.exp_ - b.exp_;
    if (d > 110) return a;  // b is below a's last bit
    const double bh = std::ldexp(b.hi_, static_cast<int>(-d));
    const double bl = std::ldexp(b.lo_, static_cast<int>(-d));
    auto [s, e] = two_sum(a.hi_, bh);
    e += a.lo_ + bl;
    auto [hi, lo] = quick_two_sum(s, e);
    return ScaledCount(hi, lo, a.exp_);
  }
  ScaledCount& operator+=(ScaledCount b) { return *this = *this + b; }

  friend ScaledCount operator*(ScaledCount a, ScaledCount b) {
    if (a.is_zero() || b.is_zero()) return ScaledCount();
    auto [p, e] = two_prod(a.hi_, b.hi_);
    e += a.hi_ * b.lo_ + a.lo_ * b.hi_;
    auto [hi, lo] = quick_two_sum(p, e);
    return ScaledCount(hi, lo, a.exp_ + b.exp_);
  }

  // ratio: num / den as a double (0 when it underflows).
  // REQUIRES: den is not zero.
  friend double ratio(ScaledCount num, ScaledCount den) {
    if (num.is_zero()) return 0.0;
    const std::int64_t shift = num.exp_ - den.exp_;
    if (shift < -1100) return 0.0;
    if (shift > 1100) return HUGE_VAL;
    return std::ldexp((num.hi_ + num.lo_) / (den.hi_ + den.lo_), static_cast<int>(shift));
  }

 private:
  ScaledCount(double hi, double lo, std::int64_t exp) : hi_(hi), lo_(lo), exp_(exp) { normalize(); }

  void normalize() {
    if (hi_ == 0.0) {
      lo_ = 0.0;
      exp_ = 0;
      return;
    }
    int e;
    (void)std::frexp(hi_, &e);  // hi = m * 2^e, m in [0.5, 1)
    const int shift = e - 1;
    if (shift == 0) return;
    hi_ = std::ldexp(hi_, -shift);
    lo_ = std::ldexp(lo_, -shift);
    exp_ += shift;
  }

  static std::pair<double, double> two_sum(double a, double b) {
    const double s = a + b;
    const double bb = s - a;
    return {s, (a - (s - bb)) + (b - bb)};
  }
  static std::pair<double, double> quick_two_sum(double a, double b) {
    const double s = a + b;
    return {s, b - (s - a)};
  }
  static std::pair<double, double> split(double a) {
    const double c = 134217729.0 * a;  // 2^27 + 1
    const double hi = c - (c - a);
    return {hi, a - hi};
  }
  static std::pair<double, double> two_prod(double a, double b) {
    const double p = a * b;
    const auto [ah, al] = split(a);
    const auto [bh, bl] = split(b);
    return {p, ((ah * bh - p) + ah * bl + al * bh) + al * bl};
  }

  double hi_ = 0.0;
  double lo_ = 0.0;
  std::int64_t exp_ = 0;
};

}  // namespace morvend

// PairSurrogate: a game of additive and pairwise terms,
//   g(S) = c + sum over i in S of a_i + sum over pairs i < j in S of b_ij,
// fitted by least squares to evaluated coalitions. Its ASV is exact from the
// precedence probabilities: a_i + sum_j b_ij P(j before i). As a control
// variate it leaves only v - g to be sampled, and a game of that form is
// reproduced exactly once there are more coalitions than terms.
//
//   PairSurrogate g = PairSurrogate::fit(n, masks, values, /*pairs=*/true);
//   std::vector<double> phi = g.asv(precedence);
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "graph/asv_error.hpp"

namespace morvend {

class PairSurrogate {
 public:
  // fit: least squares over coalitions of `words` words each, stored back to
  // back in `sets`, with the pair terms when `pairs`, each coalition weighted
  // by `weights` (all 1 when empty); a tiny ridge keeps terms the data cannot
  // tell apart at zero instead of failing.
  // REQUIRES: sets.size() == values.size() * words; weights empty or one per value.
  static PairSurrogate fit(std::size_t n, std::size_t words, std::span<const std::uint64_t> sets,
                           std::span<const double> values, bool pairs,
                           std::span<const double> weights = {});
  // terms: the number of coefficients a fit with or without pairs has.
  static constexpr std::size_t terms(std::size_t n, bool pairs) {
    return 1 + n + (pairs ? n * (n - 1) / 2 : 0);
  }

  double operator()(std::span<const std::uint64_t> set) const;
  // marginals: g's marginal contribution of every node along `order`, by
  // NodeId: a_x + the b terms of x with the nodes before it. O(n^2).
  void marginals(std::span<const std::uint32_t> order, std::vector<double>& out) const;
  // asv: one value per node; `precedence` as precedence() lays it out.
  std::vector<double> asv(std::span<const double> precedence) const;

 private:
  std::size_t n_ = 0;
  bool pairs_ = false;
  std::vector<double> coef_;  // c, a_0..a_{n-1}, then b_ij for i < j, row by row
};

}  // namespace morvend

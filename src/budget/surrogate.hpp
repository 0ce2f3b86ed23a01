// PairSurrogate: a game of additive and pairwise terms,
//   g(S) = c + sum over i in S of a_i + sum over chosen pairs {i, j} in S of b_ij,
// fitted by least squares to evaluated coalitions. Its ASV is exact from the
// precedence probabilities: a_i + sum_j b_ij P(j before i). As a control
// variate it leaves only v - g to be sampled, and a game of that form is
// reproduced exactly once there are more coalitions than terms.
//
// Only pairs of nodes that are incomparable in the DAG need a term: on order
// ideals, a pair whose first node is an ancestor of the other is present
// exactly when the other is, so its term is the other's additive one.
//
//   Result<SurrogateFit> f = SurrogateFit::make(n, incomparable_pairs(dag, 500), words, sets, values);
//   Result<PairSurrogate> g = f->fit_without({});
//   std::vector<double> phi = g->asv(pair_precedence(lattice, pairs).value());
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "graph/asv_error.hpp"
#include "graph/dag.hpp"

namespace morvend {

using NodePair = std::pair<NodeId, NodeId>;  // first < second

// incomparable_pairs: the pairs of nodes neither of which is an ancestor of
// the other, at most `limit` of them: those of the nearest topological layers
// first. O(n^2) time and n^2 / 64 words of reachability.
[[nodiscard]] std::vector<NodePair> incomparable_pairs(const Dag& g, std::size_t limit);

// strongest_pairs: the `keep` pairs of `candidates` whose joint presence
// best explains what an additive fit to the evaluated coalitions leaves:
// by |correlation| of the residual with the pair's indicator. Candidates
// keep their order when they are no more than `keep`. Cost: the coalitions
// times the candidates both of whose nodes they hold, and an additive fit.
// Fails only when interrupted.
// REQUIRES: as SurrogateFit::make, with candidates for pairs.
[[nodiscard]] Result<std::vector<NodePair>> strongest_pairs(std::size_t n,
                                                            std::vector<NodePair> candidates,
                                                            std::size_t keep, std::size_t words,
                                                            std::span<const std::uint64_t> sets,
                                                            std::span<const double> values);

class PairSurrogate;

// solve_spd: solves A x = b for a symmetric positive definite A (p x p, row
// major) by Cholesky, overwriting A. Fails only when interrupted.
[[nodiscard]] Result<std::vector<double>> solve_spd(std::vector<double>& a, std::vector<double> b,
                                                    std::size_t p);

// fit_folds: one surrogate per fold k, fitted without the rows left_out[k]
// (cross-fitting). With more candidates than `keep`, each fold keeps the
// `keep` strongest, chosen without its left-out rows too: chosen on every
// row, a pair picked for one fold's noise would carry that noise into the
// other folds' surrogates, and their errors would look smaller than they are.
// Fails only when interrupted.
// REQUIRES: as SurrogateFit::make; left_out[k] distinct row indices.
[[nodiscard]] Result<std::vector<PairSurrogate>> fit_folds(
    std::size_t n, const std::vector<NodePair>& candidates, std::size_t keep, std::size_t words,
    std::span<const std::uint64_t> sets, std::span<const double> values,
    const std::vector<std::vector<std::size_t>>& left_out);

class PairSurrogate {
 public:
  // terms: the number of coefficients of a fit on n nodes with `pairs` pairs.
  static constexpr std::size_t terms(std::size_t n, std::size_t pairs) { return 1 + n + pairs; }

  double operator()(std::span<const std::uint64_t> set) const;
  // marginals: g's marginal contribution of every node along `order`, by
  // NodeId: a_x + the b terms of x with the nodes before it.
  void marginals(std::span<const NodeId> order, std::vector<double>& out) const;
  // asv: one value per node; `first_before` holds P(i before j) for each
  // pair (i, j), as pair_precedence() gives them (empty when there are no
  // pairs).
  std::vector<double> asv(std::span<const double> first_before) const;
  // additive_term: a_i. pair_term: b of pair k, in the order pairs() gives.
  double additive_term(NodeId i) const { return coef_[1 + i]; }
  double pair_term(std::size_t k) const { return coef_[1 + n_ + k]; }
  std::span<const NodePair> pairs() const { return pairs_; }

 private:
  friend class SurrogateFit;
  // features: the coefficient indices active for `set`, intercept first.
  void features(std::span<const std::uint64_t> set, std::vector<std::size_t>& out) const;

  std::size_t n_ = 0;
  std::vector<NodePair> pairs_;
  // partners_[i]: (j, coefficient index) for every pair {i, j} with j > i.
  std::vector<std::vector<std::pair<NodeId, std::size_t>>> partners_;
  std::vector<double> coef_;  // c, a_0..a_{n-1}, then b of each pair in order
};

// SurrogateFit: least squares of a PairSurrogate over evaluated
// coalitions, refitted without chosen rows at the cost of those rows only
// (cross-fitting: a surrogate must not be fitted on the rows whose residuals
// it corrects, or the residuals shrink and the errors with them). A tiny
// ridge keeps terms the data cannot tell apart at zero instead of failing.
// Cost: sum over rows of (active terms)^2, and terms^3 / 3 per fit.
//
//   SurrogateFit f(n, pairs, words, sets, values);
//   Result<PairSurrogate> g = f.fit_without(rows_of_fold_k);
class SurrogateFit {
 public:
  // REQUIRES: sets.size() == values.size() * words; pairs distinct, each (i, j) with i < j < n; the spans
  // outlive the object.
  static Result<SurrogateFit> make(std::size_t n, std::span<const NodePair> pairs,
                                   std::size_t words, std::span<const std::uint64_t> sets,
                                   std::span<const double> values);
  // fit_without: the fit to every row but `left_out` (distinct row indices).
  // Fails only when interrupted.
  [[nodiscard]] Result<PairSurrogate> fit_without(std::span<const std::size_t> left_out) const;

 private:
  SurrogateFit() = default;
  void accumulate(std::size_t row, double sign, std::vector<double>& gram,
                  std::vector<double>& rhs, std::vector<std::size_t>& active) const;

  PairSurrogate shape_;  // terms and their indices; no coefficients
  std::size_t words_ = 1;
  std::span<const std::uint64_t> sets_;
  std::span<const double> values_;
  std::vector<double> gram_, rhs_;  // over every row
};

}  // namespace morvend

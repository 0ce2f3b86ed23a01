// PairSurrogate: a game of additive and pairwise terms, and a few triples,
//   g(S) = c + sum over i in S of a_i + sum over chosen pairs {i, j} in S of b_ij
//            + sum over chosen triples {i, j, k} in S of t_ijk,
// fitted by least squares to evaluated coalitions. Its ASV is exact from the
// precedence probabilities: a_i + sum_j b_ij P(j before i) + sum t_ijk
// P(i last of i, j, k). As a control variate it leaves only v - g to be
// sampled, and a game of that form is reproduced exactly once there are more
// coalitions than terms. Any game of three nodes is of that form: a term of a
// model that reads three features is captured whole by its triple.
//
// Only nodes that are pairwise incomparable in the DAG need a term: on order
// ideals, a product with an ancestor in it is present exactly when the rest
// of it is, so its term is a smaller one.
//
//   Result<SurrogateFit> f =
//       SurrogateFit::make(n, incomparable_pairs(dag, 500), {}, words, sets, values);
//   Result<PairSurrogate> g = f->fit_without({});
//   std::vector<double> phi = g->asv(pair_precedence(lattice, pairs).value());
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <tuple>
#include <utility>
#include <vector>

#include "graph/asv_error.hpp"
#include "graph/dag.hpp"

namespace morvend {

using NodePair = std::pair<NodeId, NodeId>;  // first < second
using NodeTriple = std::array<NodeId, 3>;    // ascending

// last_of: which of the triple's nodes (0, 1 or 2) comes last, by `position`
// (each node's place in the order).
template <class Positions>
std::size_t last_of(const NodeTriple& t, const Positions& position) {
  std::size_t m = position[t[0]] < position[t[1]] ? 1 : 0;
  return position[t[m]] < position[t[2]] ? 2 : m;
}

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

// top_scores: the indices of the `keep` highest scores, ascending; all of
// them when they are fewer.
[[nodiscard]] std::vector<std::size_t> top_scores(std::span<const double> score, std::size_t keep);

// triangles: the triples all three of whose pairs are in `pairs`, at most
// `limit` of them, in the order of their first two nodes' pair. O(pairs
// times the partners of a node) time.
[[nodiscard]] std::vector<NodeTriple> triangles(std::span<const NodePair> pairs, std::size_t limit);

// solve_spd: solves A x = b for a symmetric positive definite A (p x p, row
// major) by Cholesky, overwriting A. Fails only when interrupted.
[[nodiscard]] Result<std::vector<double>> solve_spd(std::vector<double>& a, std::vector<double> b,
                                                    std::size_t p);

class PairSurrogate {
 public:
  // terms: the number of coefficients of a fit on n nodes with `pairs` pairs
  // and `triples` triples.
  static constexpr std::size_t terms(std::size_t n, std::size_t pairs, std::size_t triples = 0) {
    return 1 + n + pairs + triples;
  }

  double operator()(std::span<const std::uint64_t> set) const;
  // marginals: g's marginal contribution of every node along `order`, by
  // NodeId: a_x + the b terms of x with the nodes before it + the t terms of
  // the triples x completes.
  void marginals(std::span<const NodeId> order, std::vector<double>& out) const;
  // asv: one value per node; `first_before` holds P(i before j) for each
  // pair (i, j), as pair_precedence() gives them (empty when there are no
  // pairs); `last` holds, per triple, P(its first, second and third node
  // comes last of the three), three in a row.
  std::vector<double> asv(std::span<const double> first_before,
                          std::span<const double> last = {}) const;
  // additive_term: a_i. pair_term: b of pair k, in the order pairs() gives;
  // triple_term: t of triple k, in the order triples() gives.
  double additive_term(NodeId i) const { return coef_[1 + i]; }
  double pair_term(std::size_t k) const { return coef_[1 + n_ + k]; }
  double triple_term(std::size_t k) const { return coef_[1 + n_ + pairs_.size() + k]; }
  std::span<const NodePair> pairs() const { return pairs_; }
  std::span<const NodeTriple> triples() const { return triples_; }

 private:
  friend class SurrogateFit;
  // features: the coefficient indices active for `set`, intercept first.
  void features(std::span<const std::uint64_t> set, std::vector<std::size_t>& out) const;

  std::size_t n_ = 0;
  std::vector<NodePair> pairs_;
  std::vector<NodeTriple> triples_;
  // partners_[i]: (j, coefficient index) for every pair {i, j} with j > i;
  // trios_[i]: (j, k, coefficient index) for every triple {i, j, k} with i < j < k.
  std::vector<std::vector<std::pair<NodeId, std::size_t>>> partners_;
  std::vector<std::vector<std::tuple<NodeId, NodeId, std::size_t>>> trios_;
  std::vector<double> coef_;  // c, a_0..a_{n-1}, b of each pair, t of each triple
};

// SurrogateFit: least squares of a PairSurrogate over evaluated
// coalitions, refitted without chosen rows at the cost of those rows only
// (cross-fitting: a surrogate must not be fitted on the rows whose residuals
// it corrects, or the residuals shrink and the errors with them). A tiny
// ridge keeps terms the data cannot tell apart at zero instead of failing.
// Cost: sum over rows of (active terms)^2, and terms^3 / 3 per fit.
//
//   Result<SurrogateFit> f = SurrogateFit::make(n, pairs, triples, words, sets, values);
//   Result<PairSurrogate> g = f.fit_without(rows_of_fold_k);
class SurrogateFit {
 public:
  // REQUIRES: sets.size() == values.size() * words; pairs distinct, each (i, j) with i < j < n;
  // triples distinct and ascending; the spans outlive the object.
  static Result<SurrogateFit> make(std::size_t n, std::span<const NodePair> pairs,
                                   std::span<const NodeTriple> triples, std::size_t words,
                                   std::span<const std::uint64_t> sets,
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

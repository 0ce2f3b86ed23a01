// SparseSurrogate: a game of additive terms and a few chosen products,
//   g(S) = c + sum over i in S of a_i + sum over chosen t within S of b_t,
// each t a pair or a triple of nodes no two of which are comparable in the
// DAG (on order ideals a product with an ancestor in it is a smaller one).
// Fitted to few coalitions, where walking orders gives too few of them to
// average: its ASV needs no further call, since a product's credit goes to
// whichever of its nodes comes last.
//
// The products are chosen greedily, kSparseFitBlock at a time, those whose
// indicator best matches what the fit so far leaves (|correlation| with the
// residual); pairs from the candidates given, triples grown from the first
// kSparseFitTripleSeeds pairs chosen. A round scores again only the
// candidates never scored and the best by their last score (all of them every
// kSparseFitFullRound rounds), so more rounds fit the work. Ridge keeps the a_i nearly free and
// shrinks the b_t; five-fold cross-validation decides how many to keep. The
// final fit passes through v(N) - v(empty) exactly, so the ASV is efficient.
//
// Without edges the same fit serves the paired strata (`odd`): it is fitted
// to d(S) = v(S) - v(S') (S' the complement), whose products are odd,
//   o_T(S) = [T within S] - [T within S'],
// T of 3 to kOddFitMaxOrder nodes: a pair's odd part is additive, and a
// unanimity game on T is one such term whatever the size of T. Candidates:
// the triples of the pairs that best match the additive fit's residual (every
// triple when the work allows), the best of them by one screen, then each
// chosen T with one node more.
//
//   Result<SparseSurrogate> s = fit_sparse_surrogate({.n = n, .words = w, .sets = sets,
//       .values = values, .pairs = incomparable_pairs(dag, 10000), .total = vn - v0, .work = 3e8});
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "budget/surrogate.hpp"
#include "graph/limits.hpp"

namespace morvend {

struct Product {
  std::array<NodeId, kOddFitMaxOrder> nodes{};  // the first `size` are used, ascending
  std::size_t size = 2;                         // 2 or 3; odd: 3 to kOddFitMaxOrder
};

struct SparseSurrogate {
  double intercept = 0.0;        // c
  std::vector<double> additive;  // a_i, per node
  std::vector<Product> products;
  std::vector<double> coef;  // b_t, per product
};

struct SparseFitInput {
  std::size_t n = 0;
  std::size_t words = 1;                // per coalition
  std::span<const std::uint64_t> sets;  // the coalitions, back to back
  std::span<const double> values;       // one per coalition
  std::span<const NodePair> pairs;      // candidate pairs: incomparable, (i, j) with i < j
  double total = 0.0;                   // v(N) - v(empty): what the terms add up to
  double work = 0.0;                    // operations the fit may spend
  // Odd products, fitted to d, with no total; for graphs without edges
  // (every pair incomparable), `pairs` only seed the triples.
  bool odd = false;
};

// sparse_fit_work: the operations of the additive fit alone, on n nodes and
// `rows` coalitions: what fit_sparse_surrogate spends at least.
double sparse_fit_work(std::size_t n, std::size_t rows);

// fit_sparse_surrogate: fails only when interrupted.
// REQUIRES: sets.size() == values.size() * words; pairs incomparable and distinct.
[[nodiscard]] Result<SparseSurrogate> fit_sparse_surrogate(const SparseFitInput& in);

}  // namespace morvend

// Precedence controls: for node j along a uniform random order, the
// indicator x = [i before j] of a node i incomparable to j has the known
// mean P(i before j), so j's marginal contribution minus w (x - P) keeps its
// expectation for any w. Per node, the partners whose precedence best
// explains its marginals (what a surrogate of the coalitions left) take
// ridge coefficients fitted on the other folds' orders: a node's marginal
// that depends on which of its incomparable nodes came first, through an
// interaction of any order, loses that spread.
//
//   OrderTable t(n, orders.size());           // filled per order
//   std::vector<std::vector<Control>> c = fit_controls(t, y, train, partners).value();
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "graph/asv_error.hpp"
#include "graph/dag.hpp"

namespace morvend {

// OrderTable: each node's marginal contribution and position along each
// order walked (order r, node i at r * n + i).
struct OrderTable {
  std::size_t n = 0, orders = 0;
  std::vector<double> marginal;
  std::vector<std::uint32_t> position;

  OrderTable(std::size_t nodes, std::size_t count)
      : n(nodes), orders(count), marginal(nodes * count), position(nodes * count) {}
  bool before(std::size_t r, NodeId i, NodeId j) const {
    return position[r * n + i] < position[r * n + j];
  }
};

struct Control {
  NodeId partner;  // x = [partner before the node]
  double weight;
};

// fit_controls: per node j, the controls fitted to y (one value per order
// and node, as OrderTable::marginal) over the orders `train`: among
// partners[j], those whose |correlation| with y beats what the largest of
// as many unrelated indicators would reach by chance, at most one per
// kControlRowsPerTerm training orders, the strongest first, with a ridge of
// kControlRidgeRows rows. Cost: the training orders times the partners.
// Fails only when interrupted.
// REQUIRES: y.size() == t.n * t.orders; train indices < t.orders.
[[nodiscard]] Result<std::vector<std::vector<Control>>> fit_controls(
    const OrderTable& t, std::span<const double> y, std::span<const std::size_t> train,
    const std::vector<std::vector<NodeId>>& partners);

}  // namespace morvend

// OrderPool: orders drawn without any call, from which the walk draws the
// orders it walks. A uniform draw from the pool would miss, in most runs, an
// ordering rarer than one in the orders walked, and with it a share of the
// truth that no spread shows. So a share of the draws goes to the pool's
// orders that put a pair of incomparable nodes the rare way round (a pair
// rare when fewer than kRareWalks of the orders walked are expected to),
// and each draw carries the weight 1 / (N pi) of its order (N orders in the
// pool, pi its chance per draw): a weighted mean over the draws is unbiased
// for the pool's mean, itself one of N orders drawn uniformly.
//
//   Result<OrderPool> pool = OrderPool::make(dag, source, rng, {.orders = 4096, .walks = 60});
//   OrderPool::Draw d = pool->draw(rng);  // d.order, d.weight, d.index, d.rare
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "budget/order_source.hpp"
#include "budget/surrogate.hpp"
#include "graph/asv_error.hpp"
#include "graph/dag.hpp"
#include "sampler/sampler.hpp"

namespace morvend {

struct OrderPoolSize {
  std::size_t orders = 0;  // N, at least 1
  std::size_t walks = 1;   // the orders the walk is expected to draw, at least 1
  std::size_t pairs = 0;   // candidate pairs read in every order (nearest layers first)
};

class OrderPool {
 public:
  // make: N orders from `source`, and the rare pairs among the candidates.
  // Fails only when interrupted.
  [[nodiscard]] static Result<OrderPool> make(const Dag& dag, OrderSource& source, SampleRng& rng,
                                              const OrderPoolSize& size);

  std::size_t size() const { return weight_.size(); }
  // draw: an order of the pool, its weight 1 / (N pi) and its place in the pool.
  struct Draw {
    std::span<const NodeId> order;
    double weight;
    std::size_t index;
    bool rare;  // drawn among the orders of a rare pair
  };
  Draw draw(SampleRng& rng) const;
  // rare_share: the chance that a draw goes to the rare orders.
  double rare_share() const { return rare_share_; }
  // unreversed: candidate pairs (first, second) with first before second in
  // every order of the pool.
  const std::vector<NodePair>& unreversed() const { return unreversed_; }
  // order: the pool's t-th order, in the order the source drew them.
  std::span<const NodeId> order(std::size_t t) const { return {orders_.data() + t * n_, n_}; }

 private:
  OrderPool() = default;

  std::size_t n_ = 0;
  std::vector<NodeId> orders_;                  // N x n
  std::vector<double> weight_;                  // per order, 1 / (N pi)
  std::vector<std::vector<std::uint32_t>> rare_;  // per rare pair, the orders reversing it
  double rare_share_ = 0.0;
  std::vector<NodePair> unreversed_;
};

}  // namespace morvend

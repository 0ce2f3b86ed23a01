// OrderPool: orders drawn without any call, from which the walk draws the
// orders it walks. A uniform draw from the pool would miss, in most runs, an
// ordering rarer than one in the orders walked, and with it a share of the
// truth that no spread shows. So a share of the draws goes to the pool's
// orders that put a pair of incomparable nodes the rare way round (a pair
// rare when fewer than kRareWalks of the orders walked are expected to),
// each rare pair in turn, so that every one comes up before any comes up
// twice. Each draw then weighs 1 / (N pi), N orders in the pool and pi its
// order's chance per draw averaged over the draws taken: a weighted mean
// over the draws is unbiased for the pool's mean (itself one of N orders
// drawn uniformly) however the draws were split among the rare pairs.
//
//   Result<OrderPool> pool = OrderPool::make(dag, source, rng, {.orders = 4096, .walks = 60});
//   OrderPool::Draw d = pool->draw(rng, 0);  // d.order, d.index, d.pair
//   std::vector<double> w = pool->weights(taken);  // per draw taken
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

  std::size_t size() const { return n_ == 0 ? 0 : orders_.size() / n_; }
  // Draw: an order of the pool, its place in the pool, and the rare pair it
  // was drawn for (kCommon when drawn from the whole pool).
  static constexpr std::size_t kCommon = SIZE_MAX;
  struct Draw {
    std::span<const NodeId> order;
    std::size_t index;
    std::size_t pair;
    bool rare() const { return pair != kCommon; }
  };
  // draw: the walk's d-th draw. Draw d goes to a rare pair when
  // floor((d + 1) share) steps up, the pairs in a cycle shuffled once.
  Draw draw(SampleRng& rng, std::size_t d) const;
  // weights: per draw taken (the walk's first draws, in order), 1 / (N pi).
  std::vector<double> weights(std::span<const Draw> taken) const;
  // rare_pairs: how many pairs the rare draws go to.
  std::size_t rare_pairs() const { return rare_.size(); }
  // unreversed: candidate pairs (first, second) with first before second in
  // every order of the pool.
  const std::vector<NodePair>& unreversed() const { return unreversed_; }
  // order: the pool's t-th order, in the order the source drew them.
  std::span<const NodeId> order(std::size_t t) const { return {orders_.data() + t * n_, n_}; }

 private:
  OrderPool() = default;

  std::size_t n_ = 0;
  std::vector<NodeId> orders_;                    // N x n
  std::vector<std::vector<std::uint32_t>> rare_;  // per rare pair, the orders reversing it
  std::vector<std::uint32_t> cycle_;              // the rare pairs in the order their draws come
  double rare_share_ = 0.0;
  std::vector<NodePair> unreversed_;
};

}  // namespace morvend

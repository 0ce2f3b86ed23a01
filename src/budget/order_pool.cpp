#include "budget/order_pool.hpp"

#include <algorithm>

#include "graph/interrupt.hpp"
#include "graph/limits.hpp"

namespace morvend {

Result<OrderPool> OrderPool::make(const Dag& dag, OrderSource& source, SampleRng& rng,
                                  const OrderPoolSize& size) {
  OrderPool pool;
  const std::size_t n = dag.n_nodes(), count = std::max<std::size_t>(size.orders, 1);
  pool.n_ = n;
  pool.orders_.reserve(count * n);
  std::vector<NodeId> order;
  for (std::size_t t = 0; t < count; ++t) {
    if (t % 64 == 0) {
      if (Result<void> r = check_interrupt(); !r) return std::unexpected(std::move(r.error()));
    }
    if (Result<void> r = source.draw(rng, order); !r) return std::unexpected(std::move(r.error()));
    pool.orders_.insert(pool.orders_.end(), order.begin(), order.end());
  }
  // Pairs are screened on the first kMinFreeOrders orders, and counted on
  // all of them only when the screen finds them within a few times the
  // rarity that matters: the rare pairs are few, the candidates many.
  std::vector<NodePair> pairs = incomparable_pairs(dag, size.pairs);
  std::vector<std::uint32_t> position(n);
  auto place = [&](std::size_t t) {
    const std::span<const NodeId> o = pool.order(t);
    for (std::size_t p = 0; p < n; ++p) position[o[p]] = static_cast<std::uint32_t>(p);
  };
  // first[k]: of the orders read, those with pairs[k].first before pairs[k].second.
  std::vector<std::uint32_t> first;
  auto count_first = [&](std::size_t orders) -> Result<void> {
    first.assign(pairs.size(), 0);
    for (std::size_t t = 0; t < orders; ++t) {
      if (t % 64 == 0) {
        if (Result<void> r = check_interrupt(); !r) return r;
      }
      place(t);
      for (std::size_t k = 0; k < pairs.size(); ++k) first[k] += position[pairs[k].first] < position[pairs[k].second];
    }
    return {};
  };
  const std::size_t screened = std::min<std::size_t>(count, kMinFreeOrders);
  if (Result<void> r = count_first(screened); !r) return std::unexpected(std::move(r.error()));
  if (screened < count) {
    std::erase_if(pairs, [&, k = std::size_t{0}](const NodePair&) mutable {
      const double fewer = double(std::min<std::size_t>(first[k], screened - first[k]));
      ++k;
      return double(size.walks) * fewer >= 4.0 * kRareWalks * double(screened);
    });
    if (Result<void> r = count_first(count); !r) return std::unexpected(std::move(r.error()));
  }
  // The rare way round of each rare pair, as (earlier, later) in that order.
  std::vector<NodePair> rare;
  for (std::size_t k = 0; k < pairs.size(); ++k) {
    const auto [i, j] = pairs[k];
    const std::size_t fewer = std::min<std::size_t>(first[k], count - first[k]);
    const NodePair rare_way = first[k] == fewer ? NodePair{i, j} : NodePair{j, i};
    if (fewer == 0) {
      pool.unreversed_.push_back({rare_way.second, rare_way.first});
    } else if (double(size.walks) * double(fewer) < kRareWalks * double(count)) {
      rare.push_back(rare_way);
    }
  }
  pool.rare_.resize(rare.size());
  for (std::size_t t = 0; t < count && !rare.empty(); ++t) {
    if (t % 64 == 0) {
      if (Result<void> r = check_interrupt(); !r) return std::unexpected(std::move(r.error()));
    }
    place(t);
    for (std::size_t k = 0; k < rare.size(); ++k) {
      if (position[rare[k].first] < position[rare[k].second]) pool.rare_[k].push_back(static_cast<std::uint32_t>(t));
    }
  }
  // Each rare pair gets kRareWalks draws in expectation, within kMaxRareShare
  // of them all (serving only the rarest within that share missed the
  // orderings that mattered on a 30-node DAG); an order's chance per draw is
  // then pi = (1 - share) / N plus share / rare pairs / (the pair's orders),
  // summed over its rare pairs.
  pool.rare_share_ = std::min(kMaxRareShare, kRareWalks * double(rare.size()) / double(size.walks));
  std::vector<double> times_n(count, 1.0 - pool.rare_share_);
  for (const std::vector<std::uint32_t>& orders : pool.rare_) {
    const double each = pool.rare_share_ / double(rare.size()) * double(count) / double(orders.size());
    for (std::uint32_t t : orders) times_n[t] += each;
  }
  pool.weight_.resize(count);
  for (std::size_t t = 0; t < count; ++t) pool.weight_[t] = 1.0 / times_n[t];
  return pool;
}

OrderPool::Draw OrderPool::draw(SampleRng& rng) const {
  if (!rare_.empty() && double(rng.next_word64() >> 11) * 0x1p-53 < rare_share_) {
    const std::vector<std::uint32_t>& orders = rare_[draw_below(rng, rare_.size())];
    const std::size_t t = orders[draw_below(rng, orders.size())];
    return {order(t), weight_[t], t, true};
  }
  const std::size_t t = draw_below(rng, weight_.size());
  return {order(t), weight_[t], t, false};
}

}  // namespace morvend

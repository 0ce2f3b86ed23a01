#include "budget/order_pool.hpp"

#include <algorithm>
#include <cmath>

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
  // orderings that mattered on a 30-node DAG).
  pool.rare_share_ = std::min(kMaxRareShare, kRareWalks * double(rare.size()) / double(size.walks));
  pool.cycle_.resize(rare.size());
  for (std::size_t k = 0; k < rare.size(); ++k) pool.cycle_[k] = static_cast<std::uint32_t>(k);
  for (std::size_t k = rare.size(); k > 1; --k) {
    std::swap(pool.cycle_[k - 1], pool.cycle_[draw_below(rng, k)]);
  }
  return pool;
}

OrderPool::Draw OrderPool::draw(SampleRng& rng, std::size_t d) const {
  const auto rare_before = [&](std::size_t x) {
    return static_cast<std::size_t>(std::floor(double(x) * rare_share_));
  };
  if (!rare_.empty() && rare_before(d + 1) > rare_before(d)) {
    const std::size_t k = cycle_[rare_before(d) % cycle_.size()];
    const std::size_t t = rare_[k][draw_below(rng, rare_[k].size())];
    return {order(t), t, k};
  }
  const std::size_t t = draw_below(rng, size());
  return {order(t), t, kCommon};
}

// With m_0 draws from the whole pool and m_k for rare pair k (M in all), an
// order's chance averaged over the draws is pi = (m_0 / N + sum over its
// rare pairs of m_k / |R_k|) / M; the draws from the whole pool come first
// and make pi positive for every order.
std::vector<double> OrderPool::weights(std::span<const Draw> taken) const {
  const std::size_t count = size();
  std::vector<double> drawn_for(rare_.size(), 0.0);
  double common = 0.0;
  for (const Draw& d : taken) (d.rare() ? drawn_for[d.pair] : common) += 1.0;
  std::vector<double> times_n(count, common);  // M N pi per order
  for (std::size_t k = 0; k < rare_.size(); ++k) {
    if (drawn_for[k] == 0.0) continue;
    const double each = drawn_for[k] * double(count) / double(rare_[k].size());
    for (std::uint32_t t : rare_[k]) times_n[t] += each;
  }
  std::vector<double> out;
  out.reserve(taken.size());
  for (const Draw& d : taken) out.push_back(double(taken.size()) / times_n[d.index]);
  return out;
}

}  // namespace morvend

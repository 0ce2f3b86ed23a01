#include "budget/extension_chain.hpp"

#include <algorithm>

#include "graph/interrupt.hpp"

namespace morvend {

ExtensionChain::ExtensionChain(const Dag& g, SampleRng& rng) {
  const std::size_t n = g.n_nodes();
  for (NodeId u = 0; u < n; ++u) {
    for (NodeId v : g.children(u)) edges_.insert((std::uint64_t{u} << 32) | v);
  }
  SamplerScratch scratch(n);
  (void)sample_order(g, in_degrees(g), scratch, rng);
  order_ = scratch.order;
  std::uint64_t total = 0;
  for (std::size_t p = 0; p + 1 < n; ++p) {
    total += static_cast<std::uint64_t>(p + 1) * (n - 1 - p);
    cumulative_.push_back(total);
  }
  const std::uint64_t nn = n;
  advance(rng, std::max<std::uint64_t>(10000, nn * nn * nn));
}

std::uint64_t ExtensionChain::thinning() const {
  const std::uint64_t n = order_.size();
  return std::max<std::uint64_t>(16, n * n);
}

void ExtensionChain::advance(SampleRng& rng, std::uint64_t steps) {
  if (cumulative_.empty()) return;  // one node: one order
  const std::uint64_t total = cumulative_.back();
  for (std::uint64_t s = 0; s < steps; ++s) {
    const std::uint64_t r = draw_below(rng, 2 * total);
    if (r >= total) continue;  // the lazy half
    const auto p = static_cast<std::size_t>(
        std::upper_bound(cumulative_.begin(), cumulative_.end(), r) - cumulative_.begin());
    if (!edge(order_[p], order_[p + 1])) std::swap(order_[p], order_[p + 1]);
  }
}

}  // namespace morvend

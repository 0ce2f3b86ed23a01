#include "budget/extension_chain.hpp"

#include <algorithm>

namespace morvend {

ExtensionChain::ExtensionChain(const Dag& g, SampleRng& rng) : g_(&g) {
  const std::size_t n = g.n_nodes();
  SamplerScratch scratch(n);
  (void)sample_order(g, in_degrees(g), scratch, rng);
  order_ = scratch.order;
  position_.resize(n);
  for (std::size_t t = 0; t < n; ++t) position_[order_[t]] = t;
}

Result<void> ExtensionChain::advance(SampleRng& rng, std::uint64_t moves) {
  const std::size_t n = order_.size();
  if (n < 2) return {};
  for (std::uint64_t m = 0; m < moves; ++m) {
    const auto x = static_cast<NodeId>(draw_below(rng, n));
    const std::size_t p = position_[x];
    // Positions in the order without x: after every parent, before every
    // child (a child at c > p moves to c - 1).
    std::size_t lo = 0, hi = n - 1;
    for (NodeId u : g_->parents(x)) lo = std::max(lo, position_[u] + 1);
    for (NodeId c : g_->children(x)) hi = std::min(hi, position_[c] - 1);
    const std::size_t t = lo + static_cast<std::size_t>(draw_below(rng, hi - lo + 1));
    if (t < p) {
      for (std::size_t k = p; k > t; --k) position_[order_[k] = order_[k - 1]] = k;
    } else {
      for (std::size_t k = p; k < t; ++k) position_[order_[k] = order_[k + 1]] = k;
    }
    order_[t] = x;
    position_[x] = t;
    const std::size_t work = 1 + g_->parents(x).size() + g_->children(x).size() +
                             (t < p ? p - t : t - p);
    if (Result<void> r = meter_.spend(work); !r) return r;
  }
  return {};
}

}  // namespace morvend

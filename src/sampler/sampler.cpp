#include "sampler/sampler.hpp"

#include <algorithm>
#include <cmath>
#include <string>

#include "asv/ideal_levels.hpp"

namespace morvend {

SamplerScratch::SamplerScratch(std::size_t n) : remaining(n), log_of(n + 1) {
  available.reserve(n);
  order.reserve(n);
  // ln(a) from a table: the same std::log values, without a call per step.
  for (std::size_t a = 1; a <= n; ++a) log_of[a] = std::log(static_cast<double>(a));
}

std::vector<std::uint64_t> in_degrees(const Dag& g) {
  std::vector<std::uint64_t> degree(g.n_nodes());
  for (NodeId v = 0; v < g.n_nodes(); ++v) degree[v] = g.parents(v).size();
  return degree;
}

double sample_order(const Dag& g, std::span<const std::uint64_t> in_degree, SamplerScratch& scratch,
                    SampleRng& rng) {
  const std::size_t n = in_degree.size();
  std::copy(in_degree.begin(), in_degree.end(), scratch.remaining.begin());
  scratch.order.clear();
  scratch.available.clear();
  for (NodeId v = 0; v < n; ++v) {
    if (in_degree[v] == 0) scratch.available.push_back(v);
  }
  double logq = 0.0;
  for (std::size_t t = 0; t < n; ++t) {
    const std::size_t a = scratch.available.size();
    logq -= scratch.log_of[a];
    const std::uint64_t k = draw_below(rng, a);
    const auto v = static_cast<NodeId>(scratch.available[k]);
    scratch.available[k] = scratch.available.back();
    scratch.available.pop_back();
    scratch.order.push_back(v);
    for (NodeId c : g.children(v)) {
      if (--scratch.remaining[c] == 0) scratch.available.push_back(c);
    }
  }
  return logq;
}

Result<bool> sample_uniform_order(std::size_t n, std::span<const std::uint64_t> parent_masks,
                                  CompletionMemo& memo, SampleRng& rng, std::vector<NodeId>& order,
                                  std::uint64_t max_entries) {
  order.clear();
  const std::uint64_t full = full_mask(n);
  std::uint64_t placed = 0;
  for (std::size_t t = 0; t < n; ++t) {
    const std::uint64_t rest = full & ~placed;
    Result<std::optional<std::uint64_t>> f =
        completion_count(rest, parent_masks, memo, max_entries);
    if (!f) return std::unexpected(std::move(f.error()));
    if (!*f) return false;
    const std::uint64_t target = **f >= 2 ? draw_below_wide(rng, **f) : 0;
    std::uint64_t acc = 0;
    bool chosen = false;
    for (std::uint64_t r = rest; r != 0 && !chosen; r &= r - 1) {
      const int v = __builtin_ctzll(r);
      if ((parent_masks[v] & ~placed) != 0) continue;
      const std::uint64_t bit = std::uint64_t{1} << v;
      Result<std::optional<std::uint64_t>> sub =
          completion_count(rest & ~bit, parent_masks, memo, max_entries);
      if (!sub) return std::unexpected(std::move(sub.error()));
      if (!*sub) return false;
      acc += **sub;
      if (target < acc) {
        order.push_back(static_cast<NodeId>(v));
        placed |= bit;
        chosen = true;
      }
    }
    // The counts of the candidates add up to f, so some candidate is chosen.
    if (!chosen) throw InternalFault("sample_uniform_order: completion counts do not add up");
  }
  return true;
}

AsvError batch_length_error(std::size_t m, std::size_t k) {
  return AsvError::value_function("value_fn_batch returned " + std::to_string(m) + " values for " +
                                  std::to_string(k) + " coalitions");
}

Result<void> evaluate_batch(const OrderBatch& batch, ValueCache& cache, BatchValueOracle& oracle) {
  std::vector<std::uint64_t> masks;
  masks.reserve(batch.size() * (batch.n_nodes() + 1));
  for (std::size_t k = 0; k < batch.size(); ++k) {
    std::uint64_t mask = 0;
    masks.push_back(mask);
    for (NodeId i : batch.order(k)) {
      mask |= std::uint64_t{1} << i;
      masks.push_back(mask);
    }
  }
  std::sort(masks.begin(), masks.end());
  masks.erase(std::unique(masks.begin(), masks.end()), masks.end());
  std::erase_if(masks, [&](std::uint64_t m) { return cache.contains(m); });
  if (masks.empty()) return {};
  Result<std::vector<double>> values = oracle.values(masks, masks.size());
  if (!values) return std::unexpected(std::move(values.error()));
  if (values->size() != masks.size()) {
    return std::unexpected(batch_length_error(values->size(), masks.size()));
  }
  for (std::size_t j = 0; j < masks.size(); ++j) cache.emplace(masks[j], (*values)[j]);
  return {};
}

void sample_lattice_order(const IdealLattice& l, SampleRng& rng, std::vector<NodeId>& order) {
  order.clear();
  std::size_t at = 0;
  while (l.out_begin[at] != l.out_begin[at + 1]) {
    const std::size_t first = l.out_begin[at], last = l.out_begin[at + 1];
    std::size_t t = first;
    if (last - first > 1) {
      // The ratios sum to 1 up to rounding; drawing below their sum keeps
      // every transition reachable.
      double total = 0.0;
      for (std::size_t k = first; k < last; ++k)
        total += ratio(l.completions[l.out_to[k]], l.completions[at]);
      double u = double(rng.next_word64() >> 11) * 0x1.0p-53 * total;
      for (; t + 1 < last; ++t) {
        u -= ratio(l.completions[l.out_to[t]], l.completions[at]);
        if (u < 0.0) break;
      }
    }
    order.push_back(l.out_node[t]);
    at = l.out_to[t];
  }
}

}  // namespace morvend

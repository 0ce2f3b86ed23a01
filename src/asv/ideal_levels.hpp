// Order ideals (down-sets) of a DAG of at most 64 nodes, level by level:
// level k holds the ideals of k nodes as ascending masks.
//
// Keeping each level sorted turns every step between levels into sequential
// sweeps: for a fixed node x, adding x to the ideals of level k that can take
// it gives ascending masks of level k + 1, so the successor of each ideal is
// found by a moving pointer instead of a hash lookup.
//
//   IdealLevel next;
//   LevelGrowth g = grow_level<true>(pm, n, cur, /*cap=*/1'000'000, &next);
//   for_each_transition(pm, x, cur.masks, next.masks, [&](size_t i, size_t j) {...});
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "graph/asv_error.hpp"

namespace morvend {

// IdealLevel: ascending masks and, when counted, the number of topological
// orders of each ideal (saturated at UINT64_MAX).
struct IdealLevel {
  std::vector<std::uint64_t> masks;
  std::vector<std::uint64_t> counts;
};

enum class LevelGrowth {
  kDone,         // the next level is complete and every count fits
  kOverflow,     // complete, but some count exceeded UINT64_MAX (saturated)
  kCapped,       // stopped: the next level would hold more than `cap` ideals
  kInterrupted,  // stopped: check_interrupt() failed
};

// full_mask: the mask of n nodes (n <= 64).
constexpr std::uint64_t full_mask(std::size_t n) {
  return n >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << n) - 1;
}

// addable: whether node x can join ideal s (not in it, every parent in it).
inline bool addable(std::uint64_t s, std::uint64_t bit, std::uint64_t parents) {
  return (s & bit) == 0 && (parents & ~s) == 0;
}

// grow_level: the ideals of one more node, from `cur`. With counts, each new
// count is the sum of the counts of its predecessors in `cur`.
template <bool WithCounts>
LevelGrowth grow_level(std::span<const std::uint64_t> parent_masks, const IdealLevel& cur,
                       std::size_t cap, IdealLevel* next);

// for_each_transition: calls f(i, j) for every ideal lower[i] that can take
// node x, where upper[j] = lower[i] | bit x; i and j both ascend.
// REQUIRES: `upper` is the level above `lower`.
template <class F>
void for_each_transition(std::span<const std::uint64_t> parent_masks, std::size_t x,
                         std::span<const std::uint64_t> lower, std::span<const std::uint64_t> upper,
                         F&& f) {
  const std::uint64_t bit = std::uint64_t{1} << x;
  const std::uint64_t parents = parent_masks[x];
  std::size_t j = 0;
  for (std::size_t i = 0; i < lower.size(); ++i) {
    const std::uint64_t s = lower[i];
    if (!addable(s, bit, parents)) continue;
    const std::uint64_t t = s | bit;
    while (upper[j] < t) ++j;
    f(i, j);
  }
}

// ideals_at_most: whether the DAG has at most `limit` order ideals, the empty
// set and the full set included. Holds two levels at a time. Fails only when
// interrupted.
[[nodiscard]] Result<bool> ideals_at_most(std::span<const std::uint64_t> parent_masks,
                                          std::uint64_t limit);

// count_linear_extensions: the number of topological orders, or nothing when
// it exceeds `limit`. Cheap: a level wider than `limit` already proves more
// orders than that, since ideals of one size are prefixes of distinct orders.
// Fails only when interrupted.
[[nodiscard]] Result<std::optional<std::uint64_t>> count_linear_extensions(
    std::span<const std::uint64_t> parent_masks, std::uint64_t limit);

// parent_masks_of: one mask per node of a graph of at most 64 nodes.
class Dag;
std::vector<std::uint64_t> parent_masks_of(const Dag& g);

}  // namespace morvend

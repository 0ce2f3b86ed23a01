#include "asv/ideal_levels.hpp"

#include <algorithm>
#include <limits>
#include <memory>

#include "graph/dag.hpp"
#include "graph/interrupt.hpp"

namespace morvend {
namespace {

constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();

// Buffer: uninitialised room for counts and masks; zero-filling the merge
// buffers again for every node cost a sixth of the whole pass.
class Buffer {
 public:
  std::uint64_t* data() { return data_.get(); }
  const std::uint64_t* data() const { return data_.get(); }
  void reserve(std::size_t size) {
    if (size <= capacity_) return;
    const std::size_t capacity = std::max(size, 2 * capacity_);
    std::unique_ptr<std::uint64_t[]> bigger(new std::uint64_t[capacity]);
    data_.swap(bigger);  // the old contents are dead: every merge rewrites its output
    capacity_ = capacity;
  }
  std::vector<std::uint64_t> to_vector(std::size_t size) const {
    return std::vector<std::uint64_t>(data(), data() + size);
  }
  void swap(Buffer& other) {
    data_.swap(other.data_);
    std::swap(capacity_, other.capacity_);
  }

 private:
  std::unique_ptr<std::uint64_t[]> data_;
  std::size_t capacity_ = 0;
};

}  // namespace

template <bool WithCounts>
LevelGrowth grow_level(std::span<const std::uint64_t> parent_masks, const IdealLevel& cur,
                       std::size_t cap, IdealLevel* next) {
  // The level is the union of one ascending stream per node x ({S | x : S can
  // take x}), merged in one stream at a time. Buffers are written by index:
  // this loop is the hot path of the forward pass.
  Buffer masks, counts, out_masks, out_counts;
  std::size_t size = 0;
  bool overflow = false;
  const std::uint64_t* in = cur.masks.data();
  const std::uint64_t* in_counts = WithCounts ? cur.counts.data() : nullptr;
  const std::size_t in_size = cur.masks.size();
  for (std::size_t x = 0; x < parent_masks.size(); ++x) {
    const std::uint64_t bit = std::uint64_t{1} << x;
    const std::uint64_t parents = parent_masks[x];
    std::size_t s = 0;
    while (s < in_size && !addable(in[s], bit, parents)) ++s;
    if (s == in_size) continue;
    out_masks.reserve(size + in_size - s);
    if constexpr (WithCounts) out_counts.reserve(size + in_size - s);
    std::uint64_t* om = out_masks.data();
    std::uint64_t* oc = WithCounts ? out_counts.data() : nullptr;
    const std::uint64_t* am = masks.data();
    const std::uint64_t* ac = WithCounts ? counts.data() : nullptr;
    std::size_t a = 0, o = 0;
    for (; s < in_size; ++s) {
      // A level can hold millions of ideals: look up every 2^16 of them.
      if ((s & 0xFFFF) == 0 && interrupt_requested()) return LevelGrowth::kInterrupted;
      const std::uint64_t mask = in[s];
      if (!addable(mask, bit, parents)) continue;
      const std::uint64_t t = mask | bit;
      while (a < size && am[a] < t) {
        om[o] = am[a];
        if constexpr (WithCounts) oc[o] = ac[a];
        ++o;
        ++a;
      }
      om[o] = t;
      if constexpr (WithCounts) {
        std::uint64_t q = in_counts[s];
        if (a < size && am[a] == t && __builtin_add_overflow(ac[a], q, &q)) {
          q = kMax;
          overflow = true;
        }
        oc[o] = q;
      }
      if (a < size && am[a] == t) ++a;
      ++o;
    }
    for (; a < size; ++a, ++o) {
      om[o] = am[a];
      if constexpr (WithCounts) oc[o] = ac[a];
    }
    masks.swap(out_masks);
    if constexpr (WithCounts) counts.swap(out_counts);
    size = o;
    if (size > cap) return LevelGrowth::kCapped;
  }
  next->masks = masks.to_vector(size);
  if constexpr (WithCounts) next->counts = counts.to_vector(size);
  return overflow ? LevelGrowth::kOverflow : LevelGrowth::kDone;
}

template LevelGrowth grow_level<true>(std::span<const std::uint64_t>, const IdealLevel&,
                                      std::size_t, IdealLevel*);
template LevelGrowth grow_level<false>(std::span<const std::uint64_t>, const IdealLevel&,
                                       std::size_t, IdealLevel*);

Result<bool> ideals_at_most(std::span<const std::uint64_t> parent_masks, std::uint64_t limit) {
  IdealLevel cur{{0}, {}};
  std::uint64_t total = 1;
  if (total > limit) return false;
  for (std::size_t k = 0; k < parent_masks.size(); ++k) {
    IdealLevel next;
    const std::uint64_t room = limit - total;
    const std::size_t cap = room > SIZE_MAX ? SIZE_MAX : static_cast<std::size_t>(room);
    switch (grow_level<false>(parent_masks, cur, cap, &next)) {
      case LevelGrowth::kCapped:
        return false;
      case LevelGrowth::kInterrupted:
        return std::unexpected(AsvError::interrupted());
      case LevelGrowth::kDone:
      case LevelGrowth::kOverflow:
        break;
    }
    total += next.masks.size();
    cur = std::move(next);
  }
  return true;
}

Result<std::optional<std::uint64_t>> count_linear_extensions(
    std::span<const std::uint64_t> parent_masks, std::uint64_t limit) {
  IdealLevel cur{{0}, {1}};
  const std::size_t cap = limit > SIZE_MAX ? SIZE_MAX : static_cast<std::size_t>(limit);
  for (std::size_t k = 0; k < parent_masks.size(); ++k) {
    IdealLevel next;
    const LevelGrowth growth = grow_level<true>(parent_masks, cur, cap, &next);
    if (growth == LevelGrowth::kInterrupted) return std::unexpected(AsvError::interrupted());
    if (growth != LevelGrowth::kDone) return std::nullopt;
    cur = std::move(next);
  }
  // The last level is the full set alone; its count is the answer.
  if (cur.counts.empty() || cur.counts[0] > limit) return std::nullopt;
  return cur.counts[0];
}

std::vector<std::uint64_t> parent_masks_of(const Dag& g) {
  std::vector<std::uint64_t> masks(g.n_nodes(), 0);
  for (NodeId v = 0; v < g.n_nodes(); ++v) {
    for (NodeId p : g.parents(v)) masks[v] |= std::uint64_t{1} << p;
  }
  return masks;
}

}  // namespace morvend

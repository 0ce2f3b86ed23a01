#include "graph/name_order.hpp"

#include <algorithm>
#include <bit>
#include <utility>

namespace morvend {
namespace {

// prefix_key: the first 8 bytes, big-endian, zero-padded. key(a) < key(b)
// implies a < b in byte order; equal keys leave the order to the full text.
std::uint64_t prefix_key(const std::string& s) {
  std::uint64_t key = 0;
  const std::size_t len = std::min<std::size_t>(s.size(), 8);
  for (std::size_t i = 0; i < len; ++i) {
    key |= std::uint64_t{static_cast<unsigned char>(s[i])} << (56 - 8 * i);
  }
  return key;
}

}  // namespace

void NameOrder::rank_names(std::span<const std::string> names) {
  const std::size_t n = names.size();
  std::vector<std::pair<std::uint64_t, NodeId>> keyed(n);
  for (NodeId id = 0; id < n; ++id) keyed[id] = {prefix_key(names[id]), id};
  // std::string compares bytes as unsigned char: code point order for UTF-8.
  std::sort(keyed.begin(), keyed.end(), [&](const auto& a, const auto& b) {
    return a.first != b.first ? a.first < b.first : names[a.second] < names[b.second];
  });
  by_rank_.resize(n);
  rank_.resize(n);
  for (NodeId r = 0; r < n; ++r) {
    by_rank_[r] = keyed[r].second;
    rank_[keyed[r].second] = r;
  }
}

void NameSorter::sort(std::span<NodeId> ids) {
  const std::size_t k = ids.size(), n = names_.size();
  if (k < 2) return;
  if (!order_.ranked(n) && worth_ranking(k, n)) order_.rank_names(names_);
  if (!order_.ranked(n)) {
    std::sort(ids.begin(), ids.end(), [&](NodeId a, NodeId b) { return names_[a] < names_[b]; });
    return;
  }
  const std::vector<NodeId>& rank = order_.rank();
  if (k * 32 < n || !by_bitmap(ids)) {
    std::sort(ids.begin(), ids.end(), [&](NodeId a, NodeId b) { return rank[a] < rank[b]; });
  }
}

// by_bitmap: marks the ranks, then reads the ids back in rank order; false
// (ids untouched) when an id repeats. The bitmap is left all zero.
bool NameSorter::by_bitmap(std::span<NodeId> ids) {
  const std::vector<NodeId>& rank = order_.rank();
  bits_.resize((names_.size() + 63) / 64, 0);
  std::size_t lo = bits_.size(), hi = 0;
  bool repeated = false;
  for (NodeId id : ids) {
    const NodeId r = rank[id];
    const std::uint64_t bit = std::uint64_t{1} << (r & 63);
    repeated |= (bits_[r >> 6] & bit) != 0;
    bits_[r >> 6] |= bit;
    lo = std::min<std::size_t>(lo, r >> 6);
    hi = std::max<std::size_t>(hi, (r >> 6) + 1);
  }
  const std::vector<NodeId>& by_rank = order_.by_rank();
  std::size_t out = 0;
  for (std::size_t w = lo; w < hi; ++w) {
    for (std::uint64_t rest = bits_[w]; rest != 0; rest &= rest - 1) {
      const std::size_t r = w * 64 + static_cast<std::size_t>(std::countr_zero(rest));
      if (!repeated) ids[out++] = by_rank[r];
    }
    bits_[w] = 0;
  }
  return !repeated;
}

void sort_layers(NameOrder& order, std::span<const std::string> names, std::span<NodeId> ids,
                 std::span<const std::size_t> starts) {
  if (!order.ranked(names.size()) && worth_ranking(ids.size(), names.size())) {
    order.rank_names(names);
  }
  NameSorter sorter(order, names);
  for (std::size_t k = 0; k + 1 < starts.size(); ++k) {
    sorter.sort(ids.subspan(starts[k], starts[k + 1] - starts[k]));
  }
}

}  // namespace morvend

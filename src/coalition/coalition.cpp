#include "coalition/coalition.hpp"

#include <algorithm>
#include <numeric>

namespace morvend {

bool coalition_less(Coalition a, Coalition b) {
  return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end());
}

void CoalitionList::sort_unique() {
  const std::size_t count = size();
  std::vector<std::size_t> order(count);
  std::iota(order.begin(), order.end(), 0);
  std::sort(order.begin(), order.end(),
            [&](std::size_t a, std::size_t b) { return coalition_less((*this)[a], (*this)[b]); });
  std::vector<std::uint64_t> sorted;
  sorted.reserve(data_.size());
  for (std::size_t k = 0; k < count; ++k) {
    const Coalition set = (*this)[order[k]];
    if (k > 0 && std::ranges::equal(set, (*this)[order[k - 1]])) continue;
    sorted.insert(sorted.end(), set.begin(), set.end());
  }
  data_.swap(sorted);
}

std::uint64_t coalition_hash(Coalition set) {
  std::uint64_t h = set.size();
  for (std::uint64_t w : set) {
    h = (h ^ w) * 0x9E3779B97F4A7C15ULL;
    h ^= h >> 32;
  }
  return h;
}

CoalitionIndex::CoalitionIndex(std::size_t words)
    : keys_(words), index_(0, KeyHash{this}, KeyEqual{this}) {}

std::size_t CoalitionIndex::insert(Coalition set) {
  if (auto it = index_.find(set); it != index_.end()) return *it;
  keys_.append(set);
  const std::size_t k = keys_.size() - 1;
  index_.insert(k);
  return k;
}

}  // namespace morvend

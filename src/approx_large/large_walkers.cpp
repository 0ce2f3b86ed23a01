#include "approx_large/large_walkers.hpp"

#include <algorithm>

#include "approx_large/approx_large.hpp"

namespace morvend::detail {

std::size_t large_cache_capacity(std::size_t words) {
  const std::size_t by_bytes = kLargeCacheBytes / (8 * std::max<std::size_t>(words, 1));
  return std::max<std::size_t>(1, std::min(kLargeCacheCapacity, by_bytes));
}

LargeBatchWalker::LargeBatchWalker(BatchValueOracle& oracle, std::size_t n)
    : oracle_(oracle),
      set_(words_for(n)),
      cache_(words_for(n)),
      batch_values_(words_for(n)),
      coalitions_(words_for(n)),
      missing_(words_for(n)) {}

Result<void> LargeBatchWalker::prepare(const OrderBatch& batch) {
  coalitions_.clear();
  for (std::size_t k = 0; k < batch.size(); ++k) {
    std::fill(set_.begin(), set_.end(), 0);
    coalitions_.append(set_);
    for (NodeId i : batch.order(k)) {
      add_member(set_, i);
      coalitions_.append(set_);
    }
  }
  coalitions_.sort_unique();
  batch_values_.clear();
  missing_.clear();
  for (std::size_t k = 0; k < coalitions_.size(); ++k) {
    if (const double* v = cache_.find(coalitions_[k])) {
      batch_values_.insert(coalitions_[k], *v);
    } else {
      missing_.append(coalitions_[k]);
    }
  }
  for (std::size_t first = 0; first < missing_.size(); first += kLargeBatchChunk) {
    const std::size_t count = std::min(kLargeBatchChunk, missing_.size() - first);
    Result<std::vector<double>> values = oracle_.values(missing_.words(first, count), count);
    if (!values) return std::unexpected(std::move(values.error()));
    if (values->size() != count) {
      return std::unexpected(batch_length_error(values->size(), count));
    }
    for (std::size_t j = 0; j < count; ++j) {
      batch_values_.insert(missing_[first + j], (*values)[j]);
      cache_.offer(missing_[first + j], (*values)[j]);
    }
  }
  return {};
}

}  // namespace morvend::detail

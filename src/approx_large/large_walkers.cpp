#include "approx_large/large_walkers.hpp"

#include <algorithm>

#include "approx_large/approx_large.hpp"

namespace morvend::detail {

void LargeValueCache::offer(Coalition set, double value) {
  if (map_.size() < kLargeCacheCapacity) map_.insert(set, value);
}

Result<void> LargeWalker::evaluate_prefixes(std::span<const NodeId> order) {
  const std::size_t m = order.size() + 1;
  prefixes_.assign(m * words_, 0);
  for (std::size_t k = 1; k < m; ++k) {
    std::copy_n(prefixes_.begin() + (k - 1) * words_, words_, prefixes_.begin() + k * words_);
    add_member(std::span(prefixes_).subspan(k * words_, words_), order[k - 1]);
  }
  auto prefix = [&](std::size_t k) { return Coalition(prefixes_).subspan(k * words_, words_); };
  prefix_values_.resize(m);
  missing_.clear();
  missing_at_.clear();
  for (std::size_t k = 0; k < m; ++k) {
    if (const double* v = cache_.find(prefix(k))) {
      prefix_values_[k] = *v;
    } else {
      missing_.insert(missing_.end(), prefix(k).begin(), prefix(k).end());
      missing_at_.push_back(k);
    }
  }
  if (missing_at_.empty()) return {};
  values_.resize(missing_at_.size());
  Result<void> asked = oracle_.value_each(missing_, missing_at_.size(), values_);
  if (!asked) return asked;
  for (std::size_t j = 0; j < missing_at_.size(); ++j) {
    prefix_values_[missing_at_[j]] = values_[j];
    cache_.offer(prefix(missing_at_[j]), values_[j]);  // in prefix order, while there is room
  }
  return {};
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

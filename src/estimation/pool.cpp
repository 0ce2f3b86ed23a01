#include "estimation/pool.hpp"

#include <algorithm>

namespace morvend::detail {
namespace {

using u128 = unsigned __int128;

}  // namespace

Partial combine(Partial left, const Partial& right) {
  if (left.error) return left;
  if (right.error) return right;
  if (right.sums.n_nodes() == 0) return left;  // a piece that never started
  Partial r = right;
  const double shift = std::max(left.sums.shift(), r.sums.shift());
  left.sums.shift_to(shift);
  r.sums.shift_to(shift);
  // Sums start from zero, as a piece's own sums do.
  left.sums.merge(r.sums);
  return left;
}

std::uint64_t share_count(std::uint64_t n_samples, std::uint64_t threads) {
  return std::min(n_samples, threads);
}

WorkerShare worker_share(std::uint64_t n_samples, std::uint64_t threads, std::uint64_t k) {
  // 128-bit products: w * N must not wrap for large N and T.
  if (threads <= n_samples) {
    const auto start = static_cast<std::uint64_t>(u128{k} * n_samples / threads);
    const auto end = static_cast<std::uint64_t>(u128{k + 1} * n_samples / threads);
    return {k, end - start};
  }
  // More workers than samples: one sample each, for the workers w whose bound
  // floor((w + 1) N / T) first reaches k + 1, i.e. w = ceil((k + 1) T / N) - 1.
  const u128 product = u128{k + 1} * threads;
  const auto w = static_cast<std::uint64_t>((product + n_samples - 1) / n_samples) - 1;
  return {w, 1};
}

void HalvingTree::add(std::uint64_t k, Partial leaf) {
  // The ranges from the root down to leaf k.
  std::vector<std::pair<std::uint64_t, std::uint64_t>> path{{0, leaves_}};
  while (path.back().second - path.back().first > 1) {
    const auto [begin, end] = path.back();
    const std::uint64_t middle = begin + (end - begin) / 2;
    path.push_back(k < middle ? std::pair{begin, middle} : std::pair{middle, end});
  }
  Partial sums = std::move(leaf);
  std::lock_guard lock(mutex_);
  for (std::size_t d = path.size() - 1; d > 0; --d) {
    const bool is_left = path[d].first == path[d - 1].first;
    auto sibling = waiting_.find(path[d - 1]);
    if (sibling == waiting_.end()) {
      waiting_.emplace(path[d - 1], std::move(sums));
      return;
    }
    sums = is_left ? combine(std::move(sums), sibling->second)
                   : combine(std::move(sibling->second), sums);
    waiting_.erase(sibling);
  }
  root_ = std::move(sums);
}

void RunErrors::fail(std::atomic<bool>& stop, AsvError error) {
  std::lock_guard lock(mutex_);
  failed_ = true;
  if (!stop.exchange(true)) cause_ = std::move(error);
}

std::optional<AsvError> RunErrors::first() {
  std::lock_guard lock(mutex_);
  if (cause_) return std::move(*cause_);
  if (failed_) return AsvError::interrupted();
  return std::nullopt;
}

std::uint64_t unseeded_chunk(std::uint64_t n_samples, std::size_t lanes) {
  return std::clamp<std::uint64_t>(n_samples / (16 * lanes), 1, 1024);
}

}  // namespace morvend::detail

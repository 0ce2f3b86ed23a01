#include "dag_dp_sparse/dag_dp_sparse.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include <boost/unordered/unordered_flat_map.hpp>

#include "asv/completion_count.hpp"
#include "asv/ideal_levels.hpp"
#include "graph/interrupt.hpp"
#include "graph/limits.hpp"

namespace morvend {
namespace {

constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();

AsvError memory_limit_error(std::uint64_t limit, std::uint64_t entries) {
  return AsvError::invalid_configuration(
      "exact_dag_sparse: exceeded memory limit (" + std::to_string(limit) + " bytes) after " +
      std::to_string(entries) + " order ideals; try approximate method");
}

// The forward error that a FIFO breadth-first discovery of the ideals meets
// first (ideals popped in discovery order, nodes tried in ascending id). The
// level sweeps only learn that level k + 1 overflows or does not fit; which
// ideal the message names depends on that discovery order, so it is replayed
// here from the complete levels 0..k.
AsvError first_forward_error(std::span<const std::uint64_t> pm,
                             const std::vector<IdealLevel>& levels, std::uint64_t known,
                             std::uint64_t limit) {
  // Discovery rank of each ideal: first reached from the earliest-ranked
  // predecessor, ties broken by the node added.
  std::vector<std::uint32_t> rank{0};
  for (std::size_t k = 0; k + 1 < levels.size(); ++k) {
    const auto& lower = levels[k].masks;
    const auto& upper = levels[k + 1].masks;
    std::vector<std::uint64_t> key(upper.size(), kMax);
    for (std::size_t x = 0; x < pm.size(); ++x) {
      for_each_transition(pm, x, lower, upper, [&](std::size_t i, std::size_t j) {
        key[j] = std::min(key[j], (std::uint64_t{rank[i]} << 6) | x);
      });
    }
    std::vector<std::uint32_t> order(upper.size());
    std::iota(order.begin(), order.end(), 0u);
    std::sort(order.begin(), order.end(), [&](auto a, auto b) { return key[a] < key[b]; });
    rank.assign(upper.size(), 0);
    for (std::uint32_t r = 0; r < order.size(); ++r) rank[order[r]] = r;
  }
  const IdealLevel& last = levels.back();
  std::vector<std::uint32_t> fifo(last.masks.size());
  for (std::uint32_t i = 0; i < fifo.size(); ++i) fifo[rank[i]] = i;
  boost::unordered_flat_map<std::uint64_t, std::uint64_t> next;
  std::uint64_t entries = known;
  for (std::uint32_t i : fifo) {
    const std::uint64_t s = last.masks[i];
    const std::uint64_t q = last.counts[i];
    for (std::size_t x = 0; x < pm.size(); ++x) {
      const std::uint64_t bit = std::uint64_t{1} << x;
      if (!addable(s, bit, pm[x])) continue;
      const std::uint64_t t = s | bit;
      auto [it, is_new] = next.try_emplace(t, 0);
      if (__builtin_add_overflow(it->second, q, &it->second))
        return count_overflow(kForwardTable, t);
      if (is_new && kBytesPerIdealEntry * ++entries > limit)
        return memory_limit_error(limit, entries);
    }
  }
  throw InternalFault("exact_dag_sparse: forward replay found no error");
}

// forward_levels: every order ideal, level by level, with its number of
// orders; the error a breadth-first discovery meets first when a count
// overflows or the ideals do not fit the memory limit.
Result<std::vector<IdealLevel>> forward_levels(std::span<const std::uint64_t> pm,
                                               std::uint64_t memory_limit) {
  const std::uint64_t max_entries = memory_limit / kBytesPerIdealEntry;
  std::vector<IdealLevel> levels{{{0}, {1}}};
  std::uint64_t entries = 1;
  for (std::size_t k = 0; k < pm.size(); ++k) {
    IdealLevel next;
    const std::uint64_t room = max_entries > entries ? max_entries - entries : 0;
    const LevelGrowth growth = grow_level<true>(pm, levels.back(), room, &next);
    if (growth == LevelGrowth::kInterrupted) return std::unexpected(AsvError::interrupted());
    if (growth != LevelGrowth::kDone) {
      return std::unexpected(first_forward_error(pm, levels, entries, memory_limit));
    }
    entries += next.masks.size();
    levels.push_back(std::move(next));
  }
  return levels;
}

// LevelValues: the values of one level's ideals, asked for on first use.
struct LevelValues {
  std::vector<double> values;
  std::vector<char> known;

  void reset(std::size_t size) {
    values.assign(size, 0.0);
    known.assign(size, 0);
  }
  void swap(LevelValues& other) {
    values.swap(other.values);
    known.swap(other.known);
  }
  // ensure: the value of ideal i of `level`; false (and `failed` set) when
  // the value function fails.
  bool ensure(const IdealLevel& level, std::size_t i, ValueOracle& oracle,
              std::optional<AsvError>& failed) {
    if (known[i]) return true;
    Result<double> v = oracle.value(Coalition(&level.masks[i], 1));
    if (!v) {
      failed = std::move(v.error());
      return false;
    }
    values[i] = *v;
    known[i] = 1;
    return true;
  }
};

// backward_sweep: from the full set down, one level pair at a time, the
// completion counts of level k (orders of the nodes outside each ideal) and,
// on the same transitions S -> S + x, the weighted contributions
//   (v(S + x) - v(S)) * completions(S + x) * orders(S),
// divided at the end by the number of orders of the whole DAG. No completion
// count can overflow here: each is at most that number, which the forward
// pass has just counted.
Result<std::vector<double>> backward_sweep(std::span<const std::uint64_t> pm,
                                           const std::vector<IdealLevel>& levels,
                                           ValueOracle& oracle) {
  const std::size_t n = pm.size();
  std::vector<double> acc(n, 0.0);
  std::vector<std::uint64_t> upper_completion{1}, lower_completion;
  LevelValues upper_values, lower_values;
  upper_values.reset(1);
  for (std::size_t k = n; k-- > 0;) {
    const IdealLevel& lower = levels[k];
    const IdealLevel& upper = levels[k + 1];
    lower_completion.assign(lower.masks.size(), 0);
    lower_values.reset(lower.masks.size());
    std::optional<AsvError> failed;
    std::uint64_t steps = 0;
    for (std::size_t x = 0; x < n && !failed; ++x) {
      double sum = acc[x];  // kept in a register: the same additions, in the same order
      for_each_transition(pm, x, lower.masks, upper.masks, [&](std::size_t i, std::size_t j) {
        if (failed) return;
        // A sweep of a wide level takes milliseconds: look up every 2^14 steps.
        if (++steps % 16384 == 0 && interrupt_requested()) {
          failed = AsvError::interrupted();
          return;
        }
        lower_completion[i] += upper_completion[j];
        if (!upper_values.ensure(upper, j, oracle, failed) ||
            !lower_values.ensure(lower, i, oracle, failed)) {
          return;
        }
        const double b = static_cast<double>(upper_completion[j]);
        const double q = static_cast<double>(lower.counts[i]);
        sum = (upper_values.values[j] - lower_values.values[i]) * (b * q) + sum;
      });
      acc[x] = sum;
    }
    if (failed) return std::unexpected(*failed);
    upper_completion.swap(lower_completion);
    upper_values.swap(lower_values);
  }
  const double total = static_cast<double>(upper_completion[0]);
  for (double& v : acc) v /= total;
  return acc;
}

}  // namespace

Result<AsvResult> exact_dag_sparse(const ExplainerState& state, ValueOracle& oracle,
                                   SparseOptions options) {
  const std::size_t n = state.n_nodes();
  if (options.max_nodes < n) {
    return std::unexpected(AsvError::invalid_configuration(
        "exact_dag_sparse: n=" + std::to_string(n) + " exceeds max_nodes=" +
        std::to_string(options.max_nodes) + "; use approximate method for large DAGs"));
  }
  if (n > kMaxSparseNodes) {
    return std::unexpected(AsvError::invalid_configuration(
        "bitmask representation requires n \xe2\x89\xa4 " + std::to_string(kMaxSparseNodes) +
        " for sparse DP, got " + std::to_string(n)));
  }
  const std::span<const std::uint64_t> pm = state.parent_masks();
  Result<std::vector<IdealLevel>> levels = forward_levels(pm, options.memory_limit);
  if (!levels) return std::unexpected(std::move(levels.error()));
  std::uint64_t n_ideals = 0;
  for (const IdealLevel& level : *levels) n_ideals += level.masks.size();
  Result<std::vector<double>> acc = backward_sweep(pm, *levels, oracle);
  if (!acc) return std::unexpected(std::move(acc.error()));

  AsvResult result = AsvResult::exact(std::move(*acc), n_ideals);
  result.n_order_ideals = n_ideals;
  result.state_ratio = static_cast<double>(n_ideals) / std::ldexp(1.0, static_cast<int>(n));
  // One forward entry per ideal and one memo entry per non-empty up-set.
  result.memory_mb =
      static_cast<double>(kBytesPerIdealEntry * (n_ideals + (n_ideals - 1))) * std::ldexp(1.0, -20);
  return result;
}

}  // namespace morvend

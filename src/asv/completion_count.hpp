// Completion counts: the number of topological orders of the subgraph induced
// by a node set, memoised per run. The sparse DP, the dense DP and the
// uniform sampler share them, and their overflow errors.
//
//   CompletionMemo memo;
//   Result<std::optional<std::uint64_t>> c = completion_count(set, parent_masks, memo);
//   // nothing inside: the memo reached its cap (not an error of the DAG)
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include <boost/unordered/unordered_flat_map.hpp>

#include "graph/asv_error.hpp"

namespace morvend {

// CompletionMemo: completion counts by node set; the empty set is never stored.
using CompletionMemo = boost::unordered_flat_map<std::uint64_t, std::uint64_t>;

// completion_count: the count of `set`, or nothing when the memo would grow
// past `max_entries` (a safety net: callers turn it into their own budget
// error). Fails with the "dp_ind[...]" overflow when the count exceeds u64,
// or when interrupted. Recursion depth is at most the number of nodes (<= 63).
[[nodiscard]] Result<std::optional<std::uint64_t>> completion_count(
    std::uint64_t set, std::span<const std::uint64_t> parent_masks, CompletionMemo& memo,
    std::uint64_t max_entries = UINT64_MAX);

// count_overflow: the ExtensionCountOverflow error of a count table entry,
// e.g. "dp_fwd[0b101] overflowed u64 — use approx for this DAG".
AsvError count_overflow(const char* table, std::uint64_t mask);

// The count tables that overflow errors name.
inline constexpr const char* kForwardTable = "dp_fwd";     // orders of each ideal
inline constexpr const char* kCompletionTable = "dp_ind";  // completions of each set

}  // namespace morvend

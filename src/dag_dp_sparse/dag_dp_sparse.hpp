// Exact ASV over the order ideals of a DAG of at most 63 nodes, plus the
// memoised completion count that the uniform sampler shares.
//
// Cost grows with the number of order ideals I, not with 2^n: two
// sequential sweeps over the ideal levels of O(I * n) steps each, and one
// value-function call per ideal. Memory is 16 bytes per ideal plus two
// levels' worth of completion counts and values.
//
//   Result<AsvResult> r = exact_dag_sparse(state, oracle, {.max_nodes = 28});
//   r->n_order_ideals;  // I, the empty and full sets included
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include <boost/unordered/unordered_flat_map.hpp>

#include "asv/explainer_state.hpp"
#include "asv/records.hpp"
#include "asv/value_oracle.hpp"

namespace morvend {

struct SparseOptions {
  std::uint64_t max_nodes = 28;
  std::uint64_t memory_limit = std::uint64_t{1} << 31;  // bytes, at 80 per ideal
};

// exact_dag_sparse: the engine. Checks max_nodes, then n <= 63; fails with the
// memory-limit text before any value call when the ideals would not fit.
// REQUIRES: state's graph is valid (non-empty, acyclic).
[[nodiscard]] Result<AsvResult> exact_dag_sparse(const ExplainerState& state, ValueOracle& oracle,
                                                 SparseOptions options);

// CompletionMemo: completion counts by node set; the empty set is never stored.
using CompletionMemo = boost::unordered_flat_map<std::uint64_t, std::uint64_t>;

// completion_count: the number of topological orders of the subgraph induced
// by `set`, memoised; "dp_ind[...]" overflow error when it exceeds u64.
// A memo that would grow past `max_entries` fails with kCompletionMemoFull
// (a safety net: callers turn it into their own budget error).
// Recursion depth is at most the number of nodes (<= 63).
[[nodiscard]] Result<std::uint64_t> completion_count(std::uint64_t set,
                                                     std::span<const std::uint64_t> parent_masks,
                                                     CompletionMemo& memo,
                                                     std::uint64_t max_entries = UINT64_MAX);

// The detail text of the ExtensionCountOverflow for a full memo.
inline constexpr const char* kCompletionMemoFull = "dp_ind memo full";

// count_overflow: the ExtensionCountOverflow error of a count table entry,
// e.g. "dp_fwd[0b101] overflowed u64 — use approx for this DAG".
AsvError count_overflow(const char* table, std::uint64_t mask);

}  // namespace morvend

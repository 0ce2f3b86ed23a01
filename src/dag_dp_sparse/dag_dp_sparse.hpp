// Exact ASV over the order ideals of a DAG of at most 63 nodes.
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

#include "asv/explainer_state.hpp"
#include "asv/records.hpp"
#include "asv/value_oracle.hpp"
#include "graph/limits.hpp"

namespace morvend {

struct SparseOptions {
  std::uint64_t max_nodes = kDefaultSparseMaxNodes;
  std::uint64_t memory_limit = kIdealMemoryBudget;  // bytes, at kBytesPerIdealEntry per ideal
};

// exact_dag_sparse: the engine. Checks max_nodes, then n <= 63; fails with the
// memory-limit text before any value call when the ideals would not fit.
// REQUIRES: state's graph is valid (non-empty, acyclic).
[[nodiscard]] Result<AsvResult> exact_dag_sparse(const ExplainerState& state, ValueOracle& oracle,
                                                 SparseOptions options);

}  // namespace morvend

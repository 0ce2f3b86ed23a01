// IdealLattice: every order ideal (down-set) of a DAG of any size, level by
// level, with the transitions S -> S + x between them and, for each ideal,
// the number of linear extensions of the nodes in it (orders) and of the
// nodes outside it (completions), as ScaledCounts that cannot overflow.
//
// The prefixes of the linear extensions are exactly the ideals, so a uniform
// random linear extension passes through S and then S + x with probability
// orders(S) * completions(S + x) / orders(all): everything exact over the
// ideals follows from that. Memory: ceil(n / 64) words and two counts per
// ideal, one node and one index per transition.
//
//   Result<std::optional<IdealLattice>> l = build_lattice(dag, 10000);
//   // nothing inside: more than 10,000 ideals
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "asv/scaled_count.hpp"
#include "graph/dag.hpp"

namespace morvend {

struct IdealLattice {
  std::size_t n_nodes = 0;
  std::size_t words = 0;                 // words per coalition, at least 1
  std::vector<std::uint64_t> sets;       // ideal i at [i * words, (i + 1) * words)
  std::vector<std::size_t> level_begin;  // level k: ideals [level_begin[k], level_begin[k + 1])
  // Transitions out of ideal i: [out_begin[i], out_begin[i + 1]), each
  // adding out_node[t] and leading to ideal out_to[t] of the next level.
  std::vector<std::size_t> out_begin;
  std::vector<NodeId> out_node;
  std::vector<std::size_t> out_to;
  std::vector<ScaledCount> orders;       // linear extensions of the ideal's nodes
  std::vector<ScaledCount> completions;  // ... of the nodes outside it

  std::size_t size() const { return orders.size(); }
  std::span<const std::uint64_t> set(std::size_t i) const {
    return std::span<const std::uint64_t>(sets).subspan(i * words, words);
  }
  // weight: the probability that a uniform linear extension has the prefix
  // of ideal `from` followed by the node of transition t.
  double weight(std::size_t from, std::size_t t) const {
    return ratio(orders[from] * completions[out_to[t]], orders.back());
  }
};

// lattice_bytes: the memory `l` takes, as build_lattice's budget counts it.
std::uint64_t lattice_bytes(const IdealLattice& l);

// build_lattice: the lattice when the DAG has at most `limit` ideals (the
// empty and full sets included) and they fit in `memory_budget` bytes;
// nothing otherwise, found out before allocating for a level that cannot
// fit (its candidates bound it from below).
// Fails only when interrupted.
// REQUIRES: g is valid (non-empty, acyclic).
[[nodiscard]] Result<std::optional<IdealLattice>> build_lattice(const Dag& g, std::uint64_t limit,
                                                                std::uint64_t memory_budget);

}  // namespace morvend

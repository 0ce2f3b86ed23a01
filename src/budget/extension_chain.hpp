// ExtensionChain: a Markov chain on the linear extensions of a DAG whose
// stationary law is uniform. A move takes a node chosen uniformly and puts
// it back at a uniform position among those its parents and children allow,
// the others keeping their relative order: every such position makes a
// distinct linear extension, so the move draws from the uniform law given
// the rest (a Gibbs step), and the chain is reversible, aperiodic (the node
// may stay) and irreducible (adjacent swaps are moves). It needs no counts,
// so it serves graphs whose order ideals are too many to count. A move costs
// the node's degree plus the distance it travels: a sweep of n moves stays
// far below the n^3 steps of adjacent-swap chains.
//
//   ExtensionChain chain(dag, rng);                 // a random topological order
//   if (auto r = chain.advance(rng, 64 * chain.sweep()); !r) return r;   // burn-in
//   chain.order();
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "graph/dag.hpp"
#include "graph/interrupt_meter.hpp"
#include "sampler/sampler.hpp"

namespace morvend {

class ExtensionChain {
 public:
  // Starts from the proposal sampler's order. REQUIRES: g valid, outlives the chain.
  ExtensionChain(const Dag& g, SampleRng& rng);

  // advance: `moves` moves; fails only when interrupted.
  [[nodiscard]] Result<void> advance(SampleRng& rng, std::uint64_t moves);
  std::span<const NodeId> order() const { return order_; }
  // sweep: n moves, one per node on average.
  std::uint64_t sweep() const { return order_.size(); }

 private:
  const Dag* g_;
  std::vector<NodeId> order_;
  std::vector<std::size_t> position_;  // of each node in order_
  InterruptMeter meter_;
};

}  // namespace morvend

// ExtensionChain: a Markov chain on the linear extensions of a DAG whose
// stationary law is uniform (Bubley and Dyer's: pick an adjacent pair, at
// position p with weight (p + 1)(n - 1 - p), and swap it with probability
// 1/2 unless an edge forbids it). It needs no counts, so it serves graphs
// whose order ideals are too many to count; averages along it converge to
// uniform averages (the ergodic theorem), so estimates built on it are
// consistent, and batch means give their standard errors.
//
//   ExtensionChain chain(dag, rng);   // a topological order, then burn-in
//   chain.advance(rng, n * n);        // thinning between recorded orders
//   chain.order();
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include <boost/unordered/unordered_flat_set.hpp>

#include "graph/dag.hpp"
#include "sampler/sampler.hpp"

namespace morvend {

class ExtensionChain {
 public:
  // Starts from the proposal sampler's order and runs n^3 steps (at least
  // 10,000) of burn-in.
  ExtensionChain(const Dag& g, SampleRng& rng);

  void advance(SampleRng& rng, std::uint64_t steps);
  std::span<const NodeId> order() const { return order_; }
  // thinning: the steps between recorded orders, n^2 (at least 16).
  std::uint64_t thinning() const;

 private:
  bool edge(NodeId a, NodeId b) const { return edges_.contains((std::uint64_t{a} << 32) | b); }

  std::vector<NodeId> order_;
  std::vector<std::uint64_t> cumulative_;  // position weights, summed
  boost::unordered_flat_set<std::uint64_t> edges_;
};

}  // namespace morvend

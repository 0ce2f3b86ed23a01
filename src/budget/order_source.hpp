// OrderSource: uniform random linear extensions of a DAG of any size, and
// the exact precedence probabilities where they are known.
//
// The DAG is cut into its weakly connected components; an order is a
// uniform interleaving of one order of each. A single node is its own
// order; a component whose order ideals fit the lattice limit (all of them
// together) gives exactly uniform orders from the lattice's counts; a larger
// one is sampled by `streams` independent Gibbs chains (ExtensionChain),
// burnt in and thinned, order r coming from stream r % streams. Orders of
// different streams are independent; orders of one stream may not be, which
// is why estimates group them by stream.
//
//   Result<OrderSource> s = OrderSource::make(dag, {.ideal_limit = 1'000'000, .streams = 16}, rng);
//   s->draw(rng, order);
//   s->product_of_ideals();   // the DAG's order ideals (infinite past a chain's)
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "budget/components.hpp"
#include "budget/extension_chain.hpp"
#include "asv/ideal_lattice.hpp"
#include "budget/surrogate.hpp"
#include "sampler/sampler.hpp"

namespace morvend {

struct OrderSourceLimits {
  std::uint64_t ideal_limit = 0;    // ideals of all counted components together
  std::uint64_t memory_budget = 0;  // bytes of their lattices
  std::size_t streams = 2;          // chains per uncounted component (at least 2)
};

class OrderSource {
 public:
  // make: counts the components from the smallest up while they fit the
  // limits. Fails only when interrupted.
  // REQUIRES: g valid; g outlives the source.
  [[nodiscard]] static Result<OrderSource> make(const Dag& g, const OrderSourceLimits& limits,
                                                SampleRng& rng);

  std::size_t n_nodes() const { return part_of_.size(); }
  // product_of_ideals: the DAG's order ideals when every component was
  // counted, else infinity.
  double product_of_ideals() const { return ideals_; }
  // lattice_of_whole: the lattice when the DAG is one counted component.
  std::optional<IdealLattice> take_lattice_of_whole();
  // streams: 0 when every order is independent of the others, else the
  // number of independent streams (order r from stream r % streams()).
  std::size_t streams() const { return chained_.empty() ? 0 : streams_; }
  // exact_pair: whether P(i before j) is known exactly: both in one counted
  // component, or one alone in its component and the other alone or counted.
  bool exact_pair(NodePair p) const;
  // first_before: P(i before j) for each pair (i, j).
  // REQUIRES: exact_pair() for each. Fails only when interrupted.
  [[nodiscard]] Result<std::vector<double>> first_before(std::span<const NodePair> pairs) const;

  // exact_triple: whether P(each of i, j, k last) is known exactly: all in
  // one counted component, or each alone in its own.
  bool exact_triple(const NodeTriple& t) const;
  // last_of_triples: P(each node of the triple last of the three), three in a
  // row per triple. REQUIRES: exact_triple() for each. Fails only when interrupted.
  [[nodiscard]] Result<std::vector<double>> last_of_triples(
      std::span<const NodeTriple> triples) const;

  // draw: the next order into `order`. Fails only when interrupted.
  [[nodiscard]] Result<void> draw(SampleRng& rng, std::vector<NodeId>& order);

 private:
  OrderSource() = default;

  std::vector<Component> parts_;
  std::vector<std::size_t> part_of_;                 // node -> component
  std::vector<std::optional<IdealLattice>> lattice_;  // per component, when counted
  std::vector<std::size_t> chained_;                 // components sampled by chains
  std::vector<std::vector<ExtensionChain>> chains_;  // per stream, one per chained component
  std::vector<std::size_t> chain_slot_;              // component -> index in a stream's chains
  std::vector<bool> burnt_in_;                       // per stream
  std::size_t streams_ = 2;
  std::size_t next_stream_ = 0;
  double ideals_ = 1.0;
  std::vector<std::size_t> labels_;  // scratch: the component of each position
  std::vector<NodeId> local_;        // scratch: one component's order
  std::vector<std::size_t> offset_;  // component -> its first position in flat_
  std::vector<NodeId> flat_;         // scratch: every component's order, local ids
  std::vector<std::size_t> next_;    // scratch: the next position of each in flat_
};

}  // namespace morvend

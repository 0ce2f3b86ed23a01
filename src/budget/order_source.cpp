#include "budget/order_source.hpp"

#include <algorithm>
#include <limits>
#include <numeric>

#include "budget/precedence.hpp"
#include "graph/limits.hpp"

namespace morvend {

Result<OrderSource> OrderSource::make(const Dag& g, const OrderSourceLimits& limits,
                                      SampleRng& rng) {
  OrderSource s;
  s.streams_ = std::max<std::size_t>(2, limits.streams);
  s.parts_ = components(g);
  s.part_of_.resize(g.n_nodes());
  for (std::size_t c = 0; c < s.parts_.size(); ++c) {
    for (NodeId v : s.parts_[c].nodes) s.part_of_[v] = c;
  }
  s.lattice_.resize(s.parts_.size());
  s.offset_.resize(s.parts_.size());
  for (std::size_t c = 0, at = 0; c < s.parts_.size(); at += s.parts_[c].nodes.size(), ++c)
    s.offset_[c] = at;
  s.flat_.resize(g.n_nodes());
  s.chain_slot_.assign(s.parts_.size(), 0);
  // Smallest first: many small components fit where one large one would
  // take the whole limit.
  std::vector<std::size_t> by_size(s.parts_.size());
  std::iota(by_size.begin(), by_size.end(), 0);
  std::ranges::stable_sort(by_size, [&](std::size_t a, std::size_t b) {
    return s.parts_[a].nodes.size() < s.parts_[b].nodes.size();
  });
  std::uint64_t ideals_left = limits.ideal_limit, bytes_left = limits.memory_budget;
  for (std::size_t c : by_size) {
    const Component& part = s.parts_[c];
    if (part.nodes.size() == 1) {
      s.ideals_ *= 2.0;
      continue;
    }
    Result<std::optional<IdealLattice>> l = build_lattice(part.dag, ideals_left, bytes_left);
    if (!l) return std::unexpected(std::move(l.error()));
    if (*l) {
      const std::uint64_t size = (*l)->size();
      ideals_left -= size;
      bytes_left -= std::min(bytes_left, lattice_bytes(**l));
      s.ideals_ *= double(size);
      s.lattice_[c] = std::move(*l);
    } else {
      s.ideals_ = std::numeric_limits<double>::infinity();
      s.chain_slot_[c] = s.chained_.size();
      s.chained_.push_back(c);
    }
  }
  if (!s.chained_.empty()) {
    // Burnt in when first drawn from: a budget may walk fewer orders than
    // there are streams.
    s.chains_.resize(s.streams_);
    s.burnt_in_.assign(s.streams_, false);
    for (std::vector<ExtensionChain>& stream : s.chains_) {
      for (std::size_t c : s.chained_) stream.emplace_back(s.parts_[c].dag, rng);
    }
  }
  return s;
}

std::optional<IdealLattice> OrderSource::take_lattice_of_whole() {
  if (parts_.size() != 1 || !lattice_[0]) return std::nullopt;
  std::optional<IdealLattice> l = std::move(lattice_[0]);
  lattice_[0].reset();
  ideals_ = std::numeric_limits<double>::infinity();  // no longer here to sample from
  return l;
}

bool OrderSource::exact_pair(NodePair p) const {
  const std::size_t a = part_of_[p.first], b = part_of_[p.second];
  auto alone = [&](std::size_t c) { return parts_[c].nodes.size() == 1; };
  if (a == b) return lattice_[a].has_value();
  // Across components, only a node alone against a counted one (or alone).
  return (alone(a) && (alone(b) || lattice_[b])) || (alone(b) && lattice_[a]);
}

Result<std::vector<double>> OrderSource::first_before(std::span<const NodePair> pairs) const {
  std::vector<double> out(pairs.size(), 0.5);  // two nodes alone: either first
  // Pairs inside one component, in its local ids (ascending like the global ones).
  std::vector<std::vector<std::size_t>> inside(parts_.size());
  std::vector<std::vector<double>> ranks(parts_.size());
  auto local_id = [&](NodeId v) {
    const std::vector<NodeId>& nodes = parts_[part_of_[v]].nodes;
    return static_cast<NodeId>(std::ranges::lower_bound(nodes, v) - nodes.begin());
  };
  // P(alone before the node of rank q among b) = q / (b + 1), on average over q.
  auto before = [&](NodeId v) {
    const std::size_t c = part_of_[v];
    if (ranks[c].empty()) ranks[c] = expected_ranks(*lattice_[c]);
    return ranks[c][local_id(v)] / double(parts_[c].nodes.size() + 1);
  };
  for (std::size_t k = 0; k < pairs.size(); ++k) {
    const auto [i, j] = pairs[k];
    const std::size_t a = part_of_[i], b = part_of_[j];
    if (a == b) {
      inside[a].push_back(k);
    } else if (parts_[a].nodes.size() == 1 && parts_[b].nodes.size() > 1) {
      out[k] = before(j);
    } else if (parts_[b].nodes.size() == 1 && parts_[a].nodes.size() > 1) {
      out[k] = 1.0 - before(i);
    }
  }
  std::vector<NodePair> local;
  for (std::size_t c = 0; c < parts_.size(); ++c) {
    if (inside[c].empty()) continue;
    local.clear();
    for (std::size_t k : inside[c]) local.emplace_back(local_id(pairs[k].first), local_id(pairs[k].second));
    Result<std::vector<double>> p = pair_precedence(*lattice_[c], local);
    if (!p) return std::unexpected(std::move(p.error()));
    for (std::size_t q = 0; q < inside[c].size(); ++q) out[inside[c][q]] = (*p)[q];
  }
  return out;
}

bool OrderSource::exact_triple(const NodeTriple& t) const {
  const std::size_t a = part_of_[t[0]], b = part_of_[t[1]], c = part_of_[t[2]];
  if (a == b && b == c) return lattice_[a].has_value();
  auto alone = [&](std::size_t x) { return parts_[x].nodes.size() == 1; };
  return alone(a) && alone(b) && alone(c);
}

Result<std::vector<double>> OrderSource::last_of_triples(
    std::span<const NodeTriple> triples) const {
  std::vector<double> out(3 * triples.size(), 1.0 / 3.0);  // three nodes alone: any last
  std::vector<std::vector<std::size_t>> inside(parts_.size());
  for (std::size_t k = 0; k < triples.size(); ++k) {
    const std::size_t c = part_of_[triples[k][0]];
    if (parts_[c].nodes.size() > 1) inside[c].push_back(k);
  }
  std::vector<NodeTriple> local;
  for (std::size_t c = 0; c < parts_.size(); ++c) {
    if (inside[c].empty()) continue;
    const std::vector<NodeId>& nodes = parts_[c].nodes;
    auto local_id = [&](NodeId v) {
      return static_cast<NodeId>(std::ranges::lower_bound(nodes, v) - nodes.begin());
    };
    local.clear();
    for (std::size_t k : inside[c]) {
      local.push_back({local_id(triples[k][0]), local_id(triples[k][1]), local_id(triples[k][2])});
    }
    Result<std::vector<double>> p = triple_last(*lattice_[c], local);
    if (!p) return std::unexpected(std::move(p.error()));
    for (std::size_t q = 0; q < inside[c].size(); ++q) {
      std::copy_n(p->begin() + static_cast<std::ptrdiff_t>(3 * q), 3,
                  out.begin() + static_cast<std::ptrdiff_t>(3 * inside[c][q]));
    }
  }
  return out;
}

Result<void> OrderSource::draw(SampleRng& rng, std::vector<NodeId>& order) {
  const std::size_t n = part_of_.size();
  std::vector<ExtensionChain>* stream = nullptr;
  if (!chained_.empty()) {
    stream = &chains_[next_stream_];
    const std::uint64_t sweeps = burnt_in_[next_stream_] ? kChainThinningSweeps : kChainBurnInSweeps;
    burnt_in_[next_stream_] = true;
    next_stream_ = (next_stream_ + 1) % chains_.size();
    for (ExtensionChain& chain : *stream) {
      if (Result<void> r = chain.advance(rng, sweeps * chain.sweep()); !r) return r;
    }
  }
  auto component_order = [&](std::size_t c) -> std::span<const NodeId> {
    if (lattice_[c]) {
      sample_lattice_order(*lattice_[c], rng, local_);
      return local_;
    }
    if (parts_[c].nodes.size() == 1) {
      local_.assign(1, 0);
      return local_;
    }
    return (*stream)[chain_slot_[c]].order();
  };
  if (parts_.size() == 1) {
    const std::span<const NodeId> o = component_order(0);
    order.assign(o.begin(), o.end());
    return {};
  }
  // A uniform interleaving: the components' labels, one per node, shuffled
  // (Fisher-Yates), then each label replaced by its component's next node.
  labels_.resize(n);
  for (NodeId v = 0; v < n; ++v) labels_[v] = part_of_[v];
  for (std::size_t k = n; k > 1; --k) std::swap(labels_[k - 1], labels_[draw_below(rng, k)]);
  // Each component's own order, in its local ids, at its offset in flat_.
  for (std::size_t c = 0; c < parts_.size(); ++c) {
    if (parts_[c].nodes.size() == 1) continue;
    const std::span<const NodeId> o = component_order(c);
    std::ranges::copy(o, flat_.begin() + static_cast<std::ptrdiff_t>(offset_[c]));
  }
  next_.assign(offset_.begin(), offset_.end());
  order.resize(n);
  for (std::size_t t = 0; t < n; ++t) {
    const std::size_t c = labels_[t];
    const Component& part = parts_[c];
    order[t] = part.nodes.size() == 1 ? part.nodes[0] : part.nodes[flat_[next_[c]++]];
  }
  return {};
}

}  // namespace morvend

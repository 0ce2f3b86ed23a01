#include "budget/precedence.hpp"

#include "graph/interrupt_meter.hpp"

namespace morvend {

Result<std::vector<double>> pair_precedence(const IdealLattice& l, std::span<const NodePair> pairs) {
  // second_of[j]: the pairs whose second node is j.
  std::vector<std::vector<std::size_t>> second_of(l.n_nodes);
  for (std::size_t k = 0; k < pairs.size(); ++k) second_of[pairs[k].second].push_back(k);
  std::vector<double> p(pairs.size(), 0.0);
  InterruptMeter meter;
  // Node j comes right after the prefix S with the transition's weight; each
  // i in S then precedes it.
  for (std::size_t s = 0; s < l.size(); ++s) {
    const auto set = l.set(s);
    for (std::size_t t = l.out_begin[s]; t < l.out_begin[s + 1]; ++t) {
      const std::vector<std::size_t>& ks = second_of[l.out_node[t]];
      if (Result<void> r = meter.spend(1 + ks.size()); !r) return std::unexpected(r.error());
      if (ks.empty()) continue;
      const double w = l.weight(s, t);
      for (std::size_t k : ks) {
        const NodeId i = pairs[k].first;
        if ((set[i / 64] >> (i % 64)) & 1u) p[k] += w;
      }
    }
  }
  return p;
}

Result<std::vector<double>> triple_last(const IdealLattice& l,
                                        std::span<const NodeTriple> triples) {
  // member_of[x]: (triple, which of its nodes) for every triple holding x.
  std::vector<std::vector<std::pair<std::size_t, std::size_t>>> member_of(l.n_nodes);
  for (std::size_t k = 0; k < triples.size(); ++k) {
    for (std::size_t m = 0; m < 3; ++m) member_of[triples[k][m]].emplace_back(k, m);
  }
  std::vector<double> p(3 * triples.size(), 0.0);
  InterruptMeter meter;
  for (std::size_t s = 0; s < l.size(); ++s) {
    const auto set = l.set(s);
    auto held = [&](NodeId v) { return ((set[v / 64] >> (v % 64)) & 1u) != 0; };
    for (std::size_t t = l.out_begin[s]; t < l.out_begin[s + 1]; ++t) {
      const auto& ks = member_of[l.out_node[t]];
      if (Result<void> r = meter.spend(1 + ks.size()); !r) return std::unexpected(r.error());
      if (ks.empty()) continue;
      const double w = l.weight(s, t);
      for (const auto& [k, m] : ks) {
        if (held(triples[k][(m + 1) % 3]) && held(triples[k][(m + 2) % 3])) p[3 * k + m] += w;
      }
    }
  }
  return p;
}

std::vector<double> expected_ranks(const IdealLattice& l) {
  std::vector<double> rank(l.n_nodes, 0.0);
  for (std::size_t k = 0; k + 1 < l.level_begin.size(); ++k) {
    for (std::size_t s = l.level_begin[k]; s < l.level_begin[k + 1]; ++s) {
      for (std::size_t t = l.out_begin[s]; t < l.out_begin[s + 1]; ++t)
        rank[l.out_node[t]] += double(k + 1) * l.weight(s, t);
    }
  }
  return rank;
}

}  // namespace morvend

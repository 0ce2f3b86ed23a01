#include "budget/surrogate.hpp"

#include <algorithm>
#include <cmath>

#include <boost/unordered/unordered_flat_map.hpp>

#include "graph/interrupt_meter.hpp"
#include "graph/limits.hpp"
#include "topo/topo.hpp"

namespace morvend {

Result<std::vector<double>> solve_spd(std::vector<double>& a, std::vector<double> b, std::size_t p) {
  InterruptMeter meter;
  for (std::size_t j = 0; j < p; ++j) {
    if (Result<void> r = meter.spend(j * (p - j) + p); !r) return std::unexpected(r.error());
    double d = a[j * p + j];
    for (std::size_t k = 0; k < j; ++k) d -= a[j * p + k] * a[j * p + k];
    d = std::sqrt(d);
    a[j * p + j] = d;
    for (std::size_t i = j + 1; i < p; ++i) {
      double s = a[i * p + j];
      for (std::size_t k = 0; k < j; ++k) s -= a[i * p + k] * a[j * p + k];
      a[i * p + j] = s / d;
    }
  }
  for (std::size_t i = 0; i < p; ++i) {  // L y = b
    for (std::size_t k = 0; k < i; ++k) b[i] -= a[i * p + k] * b[k];
    b[i] /= a[i * p + i];
  }
  for (std::size_t i = p; i-- > 0;) {  // L^T x = y
    for (std::size_t k = i + 1; k < p; ++k) b[i] -= a[k * p + i] * b[k];
    b[i] /= a[i * p + i];
  }
  return b;
}

std::vector<NodePair> incomparable_pairs(const Dag& g, std::size_t limit) {
  const std::size_t n = g.n_nodes(), words = (n + 63) / 64;
  // below[u]: u's descendants, from the children up in reverse topological order.
  std::vector<std::uint64_t> below(n * words, 0);
  const std::vector<std::vector<NodeId>> layers = topological_layers(g);
  for (auto layer = layers.rbegin(); layer != layers.rend(); ++layer) {
    for (NodeId u : *layer) {
    std::uint64_t* row = &below[u * words];
    for (NodeId c : g.children(u)) {
      row[c / 64] |= std::uint64_t{1} << (c % 64);
      const std::uint64_t* child = &below[c * words];
      for (std::size_t w = 0; w < words; ++w) row[w] |= child[w];
    }
    }
  }
  std::vector<std::size_t> layer_of(n);
  for (std::size_t k = 0; k < layers.size(); ++k) {
    for (NodeId u : layers[k]) layer_of[u] = k;
  }
  auto reaches = [&](NodeId a, NodeId b) { return (below[a * words + b / 64] >> (b % 64)) & 1u; };
  auto distance = [&](NodeId i, NodeId j) {
    return layer_of[i] > layer_of[j] ? layer_of[i] - layer_of[j] : layer_of[j] - layer_of[i];
  };
  // Nearest layers first: two nodes of one layer come in either order about
  // as often, and their term varies most from ordering to ordering. The
  // pairs per distance are counted first, so that only those kept are
  // stored (a large graph has far more incomparable pairs than are kept).
  std::vector<std::size_t> per_distance(layers.size() + 1, 0);
  for (NodeId i = 0; i < n; ++i) {
    for (NodeId j = i + 1; j < n; ++j) {
      if (!reaches(i, j) && !reaches(j, i)) ++per_distance[distance(i, j)];
    }
  }
  std::size_t cutoff = 0, below_cutoff = 0;
  while (cutoff + 1 < per_distance.size() && below_cutoff + per_distance[cutoff] < limit) {
    below_cutoff += per_distance[cutoff++];
  }
  std::vector<std::vector<NodePair>> by_distance(cutoff + 1);
  std::size_t at_cutoff = limit - std::min(limit, below_cutoff);
  for (NodeId i = 0; i < n; ++i) {
    for (NodeId j = i + 1; j < n; ++j) {
      if (reaches(i, j) || reaches(j, i)) continue;
      const std::size_t d = distance(i, j);
      if (d < cutoff || (d == cutoff && at_cutoff > 0)) {
        by_distance[d].emplace_back(i, j);
        if (d == cutoff) --at_cutoff;
      }
    }
  }
  std::vector<NodePair> out;
  for (const std::vector<NodePair>& some : by_distance) out.insert(out.end(), some.begin(), some.end());
  return out;
}

Result<std::vector<NodePair>> strongest_pairs(std::size_t n, std::vector<NodePair> candidates,
                                              std::size_t keep, std::size_t words,
                                              std::span<const std::uint64_t> sets,
                                              std::span<const double> values) {
  if (candidates.size() <= keep) return candidates;
  Result<SurrogateFit> additive = SurrogateFit::make(n, {}, {}, words, sets, values);
  if (!additive) return std::unexpected(std::move(additive.error()));
  Result<PairSurrogate> g = additive->fit_without({});
  if (!g) return std::unexpected(std::move(g.error()));
  std::vector<std::vector<std::pair<NodeId, std::size_t>>> partners(n);
  for (std::size_t k = 0; k < candidates.size(); ++k) {
    partners[candidates[k].first].emplace_back(candidates[k].second, k);
  }
  // Per candidate: the coalitions holding both nodes, and their residuals' sum.
  std::vector<double> both(candidates.size(), 0.0), sum(candidates.size(), 0.0);
  double total = 0.0;
  const std::size_t rows = values.size();
  InterruptMeter meter;
  for (std::size_t row = 0; row < rows; ++row) {
    const std::span<const std::uint64_t> set = sets.subspan(row * words, words);
    const double r = values[row] - (*g)(set);
    total += r;
    std::size_t touched = 0;
    for (std::size_t w = 0; w < words; ++w) {
      for (std::uint64_t rest = set[w]; rest != 0; rest &= rest - 1) {
        const std::size_t i = w * 64 + static_cast<std::size_t>(__builtin_ctzll(rest));
        for (const auto& [j, k] : partners[i]) {
          if ((set[j / 64] >> (j % 64)) & 1u) {
            both[k] += 1.0;
            sum[k] += r;
          }
        }
        touched += partners[i].size();
      }
    }
    if (Result<void> e = meter.spend(touched + words); !e) return std::unexpected(e.error());
  }
  // cov(r, z) / sd(z) for the indicator z: the sd of r is common to all.
  const double m = double(rows), mean = total / m;
  std::vector<double> score(candidates.size(), 0.0);
  for (std::size_t k = 0; k < candidates.size(); ++k) {
    const double p = both[k] / m;
    if (p <= 0.0 || p >= 1.0) continue;
    score[k] = std::abs(sum[k] / m - mean * p) / std::sqrt(p * (1.0 - p));
  }
  std::vector<NodePair> out;
  for (std::size_t k : top_scores(score, keep)) out.push_back(candidates[k]);
  return out;
}

std::vector<std::size_t> top_scores(std::span<const double> score, std::size_t keep) {
  std::vector<std::size_t> rank(score.size());
  for (std::size_t k = 0; k < rank.size(); ++k) rank[k] = k;
  if (rank.size() <= keep) return rank;
  std::ranges::nth_element(rank, rank.begin() + static_cast<std::ptrdiff_t>(keep),
                           [&](std::size_t a, std::size_t b) { return score[a] > score[b]; });
  rank.resize(keep);
  std::ranges::sort(rank);
  return rank;
}

std::vector<NodeTriple> triangles(std::span<const NodePair> pairs, std::size_t limit) {
  boost::unordered_flat_map<NodeId, std::vector<NodeId>> above;  // i: its partners j > i, ascending
  for (const auto& [i, j] : pairs) above[i].push_back(j);
  for (auto& [i, js] : above) std::ranges::sort(js);
  std::vector<NodeTriple> out;
  for (const auto& [i, j] : pairs) {
    const auto at_i = above.find(i), at_j = above.find(j);
    if (at_j == above.end()) continue;
    // k > j partnered with both i and j.
    const std::vector<NodeId>& a = at_i->second;
    const std::vector<NodeId>& b = at_j->second;
    auto x = std::ranges::upper_bound(a, j);
    for (auto y = b.begin(); x != a.end() && y != b.end();) {
      if (*x < *y) {
        ++x;
      } else if (*y < *x) {
        ++y;
      } else {
        if (out.size() == limit) return out;
        out.push_back({i, j, *x});
        ++x;
        ++y;
      }
    }
  }
  return out;
}

namespace {

bool held(std::span<const std::uint64_t> set, NodeId x) {
  return ((set[x / 64] >> (x % 64)) & 1u) != 0;
}

}  // namespace

void PairSurrogate::features(std::span<const std::uint64_t> set,
                             std::vector<std::size_t>& out) const {
  out.clear();
  out.push_back(0);
  for (std::size_t w = 0; w < set.size(); ++w) {
    for (std::uint64_t rest = set[w]; rest != 0; rest &= rest - 1) {
      const std::size_t i = w * 64 + static_cast<std::size_t>(__builtin_ctzll(rest));
      out.push_back(1 + i);
      for (const auto& [j, k] : partners_[i]) {
        if (held(set, j)) out.push_back(k);
      }
      for (const auto& [j, l, k] : trios_[i]) {
        if (held(set, j) && held(set, l)) out.push_back(k);
      }
    }
  }
}

Result<SurrogateFit> SurrogateFit::make(std::size_t n, std::span<const NodePair> pairs,
                                        std::span<const NodeTriple> triples, std::size_t words,
                                        std::span<const std::uint64_t> sets,
                                        std::span<const double> values) {
  SurrogateFit f;
  PairSurrogate& g = f.shape_;
  g.n_ = n;
  g.pairs_.assign(pairs.begin(), pairs.end());
  g.partners_.resize(n);
  for (std::size_t k = 0; k < pairs.size(); ++k) {
    g.partners_[pairs[k].first].emplace_back(pairs[k].second, 1 + n + k);
  }
  g.triples_.assign(triples.begin(), triples.end());
  g.trios_.resize(n);
  for (std::size_t k = 0; k < triples.size(); ++k) {
    g.trios_[triples[k][0]].emplace_back(triples[k][1], triples[k][2], 1 + n + pairs.size() + k);
  }
  f.words_ = words;
  f.sets_ = sets;
  f.values_ = values;
  const std::size_t p = PairSurrogate::terms(n, pairs.size(), triples.size());
  f.gram_.assign(p * p, 0.0);
  f.rhs_.assign(p, 0.0);
  std::vector<std::size_t> active;
  InterruptMeter meter;
  for (std::size_t k = 0; k < values.size(); ++k) {
    f.accumulate(k, 1.0, f.gram_, f.rhs_, active);
    if (Result<void> r = meter.spend(active.size() * active.size()); !r)
      return std::unexpected(r.error());
  }
  return f;
}

void SurrogateFit::accumulate(std::size_t row, double sign, std::vector<double>& gram,
                              std::vector<double>& rhs, std::vector<std::size_t>& active) const {
  shape_.features(sets_.subspan(row * words_, words_), active);
  const std::size_t p = rhs.size();
  for (std::size_t a : active) {
    rhs[a] += sign * values_[row];
    double* g = &gram[a * p];
    for (std::size_t b : active) g[b] += sign;
  }
}

Result<PairSurrogate> SurrogateFit::fit_without(std::span<const std::size_t> left_out) const {
  std::vector<double> gram = gram_, rhs = rhs_;
  std::vector<std::size_t> active;
  InterruptMeter meter;
  const double rows = double(values_.size() - left_out.size());
  for (std::size_t k : left_out) {
    accumulate(k, -1.0, gram, rhs, active);
    if (Result<void> r = meter.spend(active.size() * active.size()); !r)
      return std::unexpected(r.error());
  }
  // Ridge relative to the data's scale: terms no coalition separates get a
  // zero coefficient, the others are not moved measurably.
  const std::size_t p = rhs.size();
  const double ridge = 1e-12 * (1.0 + rows);
  for (std::size_t a = 0; a < p; ++a) gram[a * p + a] += ridge;
  // Pair terms get a ridge of a few rows' weight: a pair the rows barely
  // separate would otherwise get a wild coefficient, whose share of the ASV
  // comes from orders too rare to be sampled, and so never corrected. Triples
  // get none: they are taken only where the orders show them, each node last
  // in several, and one prefix per order tells a triple from its pairs, so a
  // ridge that size moved their weight onto the pairs (a unanimity game on
  // three nodes fitted at 3000 calls: 2.27 for 3).
  const double pair_ridge = kPairRidgeRows * rows / double(values_.size());
  for (std::size_t a = 1 + shape_.n_; a < 1 + shape_.n_ + shape_.pairs_.size(); ++a) {
    gram[a * p + a] += pair_ridge;
  }
  Result<std::vector<double>> coef = solve_spd(gram, std::move(rhs), p);
  if (!coef) return std::unexpected(std::move(coef.error()));
  PairSurrogate g = shape_;
  g.coef_ = std::move(*coef);
  return g;
}

double PairSurrogate::operator()(std::span<const std::uint64_t> set) const {
  std::vector<std::size_t> active;
  features(set, active);
  double v = 0.0;
  for (std::size_t a : active) v += coef_[a];
  return v;
}

void PairSurrogate::marginals(std::span<const NodeId> order, std::vector<double>& out) const {
  out.assign(n_, 0.0);
  for (NodeId x : order) out[x] = coef_[1 + x];
  if (pairs_.empty() && triples_.empty()) return;
  // Each product's term goes to whichever of its nodes comes last.
  std::vector<std::size_t> position(n_);
  for (std::size_t t = 0; t < order.size(); ++t) position[order[t]] = t;
  for (std::size_t k = 0; k < pairs_.size(); ++k) {
    const auto [i, j] = pairs_[k];
    out[position[i] < position[j] ? j : i] += pair_term(k);
  }
  for (std::size_t k = 0; k < triples_.size(); ++k) {
    const NodeTriple& t = triples_[k];
    out[t[last_of(t, position)]] += triple_term(k);
  }
}

std::vector<double> PairSurrogate::asv(std::span<const double> first_before,
                                       std::span<const double> last) const {
  std::vector<double> phi(coef_.begin() + 1, coef_.begin() + 1 + static_cast<std::ptrdiff_t>(n_));
  // A product's term goes to whichever of its nodes comes last.
  for (std::size_t k = 0; k < pairs_.size(); ++k) {
    const auto [i, j] = pairs_[k];
    phi[j] += pair_term(k) * first_before[k];
    phi[i] += pair_term(k) * (1.0 - first_before[k]);
  }
  for (std::size_t k = 0; k < triples_.size(); ++k) {
    for (std::size_t m = 0; m < 3; ++m) phi[triples_[k][m]] += triple_term(k) * last[3 * k + m];
  }
  return phi;
}

}  // namespace morvend

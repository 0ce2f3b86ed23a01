#include "budget/estimate_within.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>

#include <boost/unordered/unordered_flat_map.hpp>

#include "budget/evaluate.hpp"
#include "budget/order_controls.hpp"
#include "budget/order_pool.hpp"
#include "budget/surrogate.hpp"
#include "budget/within.hpp"
#include "coalition/coalition.hpp"
#include "graph/interrupt.hpp"
#include "graph/limits.hpp"

namespace morvend {
namespace {

// root_sum_square: sqrt(a^2 + b^2) without overflow. Not std::hypot, whose
// result differs between glibc versions (2.35 brought a new one), while
// seeded results must match everywhere; this uses only correctly rounded
// operations.
double root_sum_square(double a, double b) {
  a = std::fabs(a);
  b = std::fabs(b);
  if (std::isinf(a) || std::isinf(b)) return std::numeric_limits<double>::infinity();
  const double big = std::max(a, b);
  if (std::isnan(a) || std::isnan(b) || big == 0.0) return a + b;  // NaN, or 0
  const double ratio = std::min(a, b) / big;
  return big * std::sqrt(1.0 + ratio * ratio);
}

// Replicates: per node, the mean of per-order estimates and the standard
// error of that mean. With streams, orders r and r + streams may depend on
// each other, so the error comes from the streams' means; with fewer than
// kMinReplicates independent replicates it is NaN: no honest error.
class Replicates {
 public:
  Replicates(std::size_t n, std::size_t streams)
      : n_(n), groups_(std::max<std::size_t>(streams, 1)), sum_(groups_ * n, 0.0),
        count_(groups_, 0) {
    if (streams == 0) sq_.assign(n, 0.0);
  }
  void add(std::span<const double> row) {
    const std::size_t g = rows_ % groups_;
    for (std::size_t i = 0; i < n_; ++i) sum_[g * n_ + i] += row[i];
    for (std::size_t i = 0; i < sq_.size(); ++i) sq_[i] += row[i] * row[i];
    ++count_[g];
    ++rows_;
  }
  void finish(std::vector<double>& mean, std::vector<double>& error) const {
    const double m = double(rows_);
    mean.assign(n_, 0.0);
    for (std::size_t g = 0; g < groups_; ++g) {
      for (std::size_t i = 0; i < n_; ++i) mean[i] += sum_[g * n_ + i];
    }
    for (double& x : mean) x /= m;
    const std::size_t used =
        sq_.empty() ? static_cast<std::size_t>(std::ranges::count_if(count_, [](std::size_t c) { return c > 0; }))
                    : rows_;
    error.assign(n_, std::numeric_limits<double>::quiet_NaN());
    if (used < kMinReplicates) return;
    for (std::size_t i = 0; i < n_; ++i) {
      double ss = 0.0;
      if (!sq_.empty()) {
        ss = std::max(0.0, sq_[i] - m * mean[i] * mean[i]);
      } else {
        for (std::size_t g = 0; g < groups_; ++g) {
          if (count_[g] == 0) continue;
          const double d = sum_[g * n_ + i] / double(count_[g]) - mean[i];
          ss += d * d * double(count_[g]);
        }
      }
      // Variance of one order, from the replicates, then of the mean of m.
      error[i] = std::sqrt(ss / double(used - 1) / m);
    }
  }

 private:
  std::size_t n_, groups_, rows_ = 0;
  std::vector<double> sum_;  // per group and node
  std::vector<std::size_t> count_;
  std::vector<double> sq_;  // per node, when every order is its own replicate
};

// Folds: the fold of each order walked, that of its order in the pool, so
// that an order drawn twice is never on both sides of a cross-fit.
struct Folds {
  std::size_t count = 1;
  std::vector<std::uint8_t> of_order;
  std::size_t of(std::size_t r) const { return of_order[r]; }
};

// Plan: the orders walked and the coalitions they need, each once, in the
// order they are first met, with the folds whose orders pass through each.
struct Plan {
  explicit Plan(std::size_t n) : words(words_for(n)), coalitions(words) {}

  std::size_t words;
  std::vector<std::vector<NodeId>> orders;
  std::vector<OrderPool::Draw> draws;  // per order, how the pool gave it
  std::vector<double> weights;         // per order, 1 / (N pi): see OrderPool
  std::vector<bool> common;            // per coalition, met by an order not drawn as rare
  CoalitionIndex coalitions;
  std::vector<std::uint64_t> folds;    // per coalition, a bit per fold

  std::size_t size() const { return coalitions.size(); }
  std::span<const std::uint64_t> sets() const { return coalitions.sets().all(); }
  // positions: the coalition of each prefix of `order`, the empty one first.
  void positions(std::span<const NodeId> order, std::vector<std::size_t>& out) const {
    std::vector<std::uint64_t> s(words, 0);
    out.assign(1, coalitions.find(s));
    for (NodeId x : order) {
      add_member(s, x);
      out.push_back(coalitions.find(s));
    }
  }
};

// plan_orders: draws orders from the pool while their new coalitions fit the
// budget. Orders whose coalitions are all known cost no call; the cap on
// their number ends the walk when every ideal is known (a budget the exact
// path would take), and so do as many such orders in a row as the pool
// holds (a pool nearly walked through).
Result<void> plan_orders(Plan& plan, const OrderPool& pool, SampleRng& rng, std::uint64_t max_calls,
                         Folds& folds) {
  std::vector<NodeId> order;
  CoalitionList fresh(plan.words);
  std::vector<std::size_t> known;
  std::vector<std::uint64_t> s;
  std::size_t idle = 0;  // orders in a row that met no new coalition
  while (plan.orders.size() < max_calls && idle < pool.size()) {
    if (Result<void> r = check_interrupt(); !r) return r;
    const OrderPool::Draw drawn = pool.draw(rng, plan.orders.size());
    order.assign(drawn.order.begin(), drawn.order.end());
    fresh.clear();
    known.clear();
    s.assign(plan.words, 0);
    auto visit = [&] {
      if (const std::size_t k = plan.coalitions.find(s); k != CoalitionIndex::kAbsent) {
        known.push_back(k);
      } else {
        fresh.append(s);
      }
    };
    visit();
    for (NodeId x : order) {
      add_member(s, x);
      visit();
    }
    if (plan.size() + fresh.size() > max_calls) break;
    idle = fresh.size() == 0 ? idle + 1 : 0;
    const std::size_t fold = drawn.index % folds.count;
    const std::uint64_t bit = std::uint64_t{1} << fold;
    for (std::size_t k : known) {
      plan.folds[k] |= bit;
      if (!drawn.rare()) plan.common[k] = true;
    }
    for (std::size_t k = 0; k < fresh.size(); ++k) {
      plan.coalitions.insert(fresh[k]);
      plan.folds.push_back(bit);
      plan.common.push_back(!drawn.rare());
    }
    plan.orders.push_back(order);
    plan.draws.push_back(drawn);
    folds.of_order.push_back(static_cast<std::uint8_t>(fold));
  }
  plan.weights = pool.weights(plan.draws);
  return {};
}

// seen_last: the triples each of whose nodes comes last of the three in at
// least kControlRowsPerTerm of every fold's training orders (the common
// orders of the other folds). A node seldom last gets its triple's credit
// from orders the walk barely holds, where no residual would correct a
// wrong coefficient.
Result<std::vector<NodeTriple>> seen_last(std::vector<NodeTriple> candidates, const Plan& plan,
                                          const OrderTable& table, const Folds& folds) {
  const std::size_t n = table.n, f_count = folds.count;
  std::vector<std::uint32_t> count(candidates.size() * 3 * f_count, 0);
  for (std::size_t r = 0; r < table.orders && !candidates.empty(); ++r) {
    if (Result<void> e = check_interrupt(); !e) return std::unexpected(std::move(e.error()));
    if (plan.draws[r].rare()) continue;
    const std::span<const std::uint32_t> position(table.position.data() + r * n, n);
    for (std::size_t k = 0; k < candidates.size(); ++k) {
      ++count[(3 * k + last_of(candidates[k], position)) * f_count + folds.of(r)];
    }
  }
  std::size_t kept = 0;
  for (std::size_t k = 0; k < candidates.size(); ++k) {
    bool enough = true;
    for (std::size_t m = 3 * k; m < 3 * k + 3; ++m) {
      const std::uint32_t* c = &count[m * f_count];
      std::uint32_t total = 0, most = 0;
      for (std::size_t f = 0; f < f_count; ++f) {
        total += c[f];
        most = std::max(most, c[f]);
      }
      enough = enough && total - most >= kControlRowsPerTerm;
    }
    if (enough) candidates[kept++] = candidates[k];
  }
  candidates.resize(kept);
  return candidates;
}

// telling_triples: of the candidate triples, those the orders walked show
// to interact: for some node j of the triple, whether j came after both
// others moves j's marginal (what the pairs' fit `g` leaves, over the common
// orders, less its regression on j's position) beyond what whether it came
// after each of them does. The test is the 2 x 2 contrast of the mean
// marginals, by which of the two came before j, over its standard error
// (the cells' pooled spread); its square beats kTripleChanceFactor times
// 2 ln(c) for c tests, about the largest c unrelated ones reach were the
// marginals normal. Every cell needs kControlRowsPerTerm orders. The
// strongest, at most `keep`, in the candidates' order. Scored by the
// coalitions, or by the marginals without the contrast, the triples chosen
// were mostly those that took the curvature the pairs missed elsewhere, and
// the cross-fitted residuals grew (alarm at 10^4 calls: 3 times the error).
Result<std::vector<NodeTriple>> telling_triples(const OrderTable& table, const Plan& plan,
                                                const PairSurrogate& g,
                                                std::span<const NodeTriple> candidates,
                                                std::size_t keep) {
  const std::size_t n = table.n;
  std::vector<std::size_t> train;
  std::vector<double> y(table.marginal.size(), 0.0), d_g;
  for (std::size_t r = 0; r < table.orders; ++r) {
    if (plan.draws[r].rare()) continue;
    if (Result<void> e = check_interrupt(); !e) return std::unexpected(std::move(e.error()));
    train.push_back(r);
    g.marginals(plan.orders[r], d_g);
    for (std::size_t i = 0; i < n; ++i) y[r * n + i] = table.marginal[r * n + i] - d_g[i];
  }
  const double m = double(train.size());
  // Each member's marginals less their regression on its position.
  std::vector<bool> member(n, false);
  for (const NodeTriple& t : candidates) member[t[0]] = member[t[1]] = member[t[2]] = true;
  for (NodeId j = 0; j < n; ++j) {
    if (!member[j]) continue;
    double sy = 0.0, st = 0.0, stt = 0.0, sty = 0.0;
    for (std::size_t r : train) {
      const double v = y[r * n + j], pos = double(table.position[r * n + j]);
      sy += v;
      st += pos;
      stt += pos * pos;
      sty += pos * v;
    }
    const double var_t = stt / m - (st / m) * (st / m);
    const double slope = var_t > 0.0 ? (sty / m - st / m * sy / m) / var_t : 0.0;
    for (std::size_t r : train)
      y[r * n + j] -= slope * (double(table.position[r * n + j]) - st / m);
  }
  const double chance = 2.0 * std::log(3.0 * double(candidates.size()) + 1.0);
  std::vector<double> score(candidates.size(), 0.0);
  for (std::size_t k = 0; k < candidates.size(); ++k) {
    if (Result<void> e = check_interrupt(); !e) return std::unexpected(std::move(e.error()));
    const NodeTriple& t = candidates[k];
    for (std::size_t q = 0; q < 3; ++q) {
      const NodeId j = t[q], a = t[(q + 1) % 3], b = t[(q + 2) % 3];
      std::array<double, 4> count{}, sum{}, square{};
      for (std::size_t r : train) {
        const std::size_t cell =
            std::size_t{table.before(r, a, j)} | std::size_t{table.before(r, b, j)} << 1;
        const double v = y[r * n + j];
        count[cell] += 1.0;
        sum[cell] += v;
        square[cell] += v * v;
      }
      if (*std::ranges::min_element(count) < double(kControlRowsPerTerm)) continue;
      double contrast = 0.0, inverse = 0.0, within = 0.0;
      for (std::size_t c = 0; c < 4; ++c) {
        const double mean = sum[c] / count[c];
        contrast += (c == 0 || c == 3 ? 1.0 : -1.0) * mean;
        inverse += 1.0 / count[c];
        within += square[c] - count[c] * mean * mean;
      }
      const double variance = std::max(within, 0.0) / (m - 4.0);
      if (!(variance > 0.0)) continue;
      score[k] = std::max(score[k], contrast * contrast / (variance * inverse) / chance);
    }
  }
  std::vector<NodeTriple> out;
  for (std::size_t k : top_scores(score, keep)) {
    if (score[k] > kTripleChanceFactor) out.push_back(candidates[k]);
  }
  return out;
}

// fold_surrogates: the surrogate of each fold, fitted without the coalitions
// only that fold's orders met, with the incomparable pairs that best explain
// what an additive fit leaves (candidates nearest layers first, as many as
// the screen's work allows) and the triples of those pairs that the orders
// show to interact (seen_last, telling_triples; an eighth of the terms is
// kept for them, at most kMaxSurrogateTriples), while the coalitions
// outnumber all the terms twice and the fits' work stays within the budget:
// the normal equations cost about rows * (active terms)^2 to build twice (all
// rows, then less each fold's) and once on a kTripleScreenStride-th of the
// rows (the pairs' fit the triples are tested against), and terms^3 / 3 per
// solve. The terms are chosen once, on every coalition: per fold, as paired
// strata choose them, would cost a Gram per fold, and on orders the shared
// choice left the 95% intervals at 0.945 to 0.96 on real networks. None when
// there is nothing to cross-fit (one fold): an additive surrogate alone
// changes nothing, as its marginals are the same along every order.
Result<std::vector<PairSurrogate>> fold_surrogates(const Dag& dag, const Plan& plan,
                                                   const OrderTable& table,
                                                   const std::vector<double>& values,
                                                   const Folds& folds, std::uint64_t max_calls) {
  const std::size_t n = dag.n_nodes();
  const std::size_t most = std::min(kMaxSurrogateTerms, plan.size() / 2);
  if (folds.count < 2 || PairSurrogate::terms(n, 1) > most) return std::vector<PairSurrogate>{};
  const double rows = double(plan.size());
  const double budget = fit_work_budget(max_calls);
  auto work = [&](double p) {
    // A coalition holds about half the nodes and a quarter of the pairs.
    const double active = 1.0 + double(n) / 2.0 + p / 4.0;
    const double terms = double(PairSurrogate::terms(n, 0)) + p;
    return (2.0 + 1.0 / double(kTripleScreenStride)) * rows * active * active +
           double(folds.count + 1) * terms * terms * terms / 3.0;
  };
  std::size_t keep = most - PairSurrogate::terms(n, 0);
  while (keep > 0 && work(double(keep)) > budget) keep = keep * 9 / 10;
  if (keep == 0) return std::vector<PairSurrogate>{};
  const std::size_t triple_room = std::min(kMaxSurrogateTriples, keep / 8);
  // The screens read about half the candidates per coalition.
  const auto screened = static_cast<std::size_t>(std::min(2.0 * budget / rows, double(kMaxScreenedPairs)));
  Result<std::vector<NodePair>> pairs =
      strongest_pairs(n, incomparable_pairs(dag, std::max(keep, screened)), keep - triple_room,
                      plan.words, plan.sets(), values);
  if (!pairs) return std::unexpected(std::move(pairs.error()));
  // A coalition met only by fold k's orders is left out of fold k's fit;
  // one met only by orders drawn as rare, out of every fit: such orders are
  // far from the common ones, and their coalitions would pull the fit away
  // from where the most weight lies (on andes at 10^4 calls, one order
  // drawn three times made the residuals of every order 10 times larger).
  std::vector<std::vector<std::size_t>> only(folds.count);
  for (std::size_t c = 0; c < plan.size(); ++c) {
    const std::uint64_t f = plan.folds[c];
    if (!plan.common[c]) {
      for (std::vector<std::size_t>& o : only) o.push_back(c);
    } else if ((f & (f - 1)) == 0) {
      only[static_cast<std::size_t>(__builtin_ctzll(f))].push_back(c);
    }
  }
  // Triples: the triangles of the pairs, as many as a pass over the orders
  // can read, tested against a pairs' fit to every kTripleScreenStride-th
  // common coalition.
  std::vector<NodeTriple> triples;
  if (triple_room > 0) {
    Result<std::vector<NodeTriple>> candidates =
        seen_last(triangles(*pairs, static_cast<std::size_t>(budget / rows)), plan, table, folds);
    if (!candidates) return std::unexpected(std::move(candidates.error()));
    if (!candidates->empty()) {
      std::vector<std::uint64_t> sample_sets;
      std::vector<double> sample_values;
      for (std::size_t c = 0; c < plan.size(); c += kTripleScreenStride) {
        if (!plan.common[c]) continue;
        const std::span<const std::uint64_t> set = plan.sets().subspan(c * plan.words, plan.words);
        sample_sets.insert(sample_sets.end(), set.begin(), set.end());
        sample_values.push_back(values[c]);
      }
      Result<SurrogateFit> screen =
          SurrogateFit::make(n, *pairs, {}, plan.words, sample_sets, sample_values);
      if (!screen) return std::unexpected(std::move(screen.error()));
      Result<PairSurrogate> g = screen->fit_without({});
      if (!g) return std::unexpected(std::move(g.error()));
      Result<std::vector<NodeTriple>> told =
          telling_triples(table, plan, *g, *candidates, triple_room);
      if (!told) return std::unexpected(std::move(told.error()));
      triples = std::move(*told);
    }
  }
  Result<SurrogateFit> fit =
      SurrogateFit::make(n, *pairs, triples, plan.words, plan.sets(), values);
  if (!fit) return std::unexpected(std::move(fit.error()));
  std::vector<PairSurrogate> out;
  for (const std::vector<std::size_t>& rows_out : only) {
    Result<PairSurrogate> gk = fit->fit_without(rows_out);
    if (!gk) return std::unexpected(std::move(gk.error()));
    out.push_back(std::move(*gk));
  }
  return out;
}

// fold_controls: each fold's precedence controls (fit_controls), fitted on
// the other folds' orders to the marginals that fold's surrogate leaves (its
// ASV, a constant per node, does not change a fit). Candidates: incomparable
// pairs, nearest layers first, as many as the screen's work allows. None
// when no fold has kControlRowsPerTerm orders to fit on.
Result<std::vector<std::vector<std::vector<Control>>>> fold_controls(
    const Plan& plan, const OrderTable& table, std::span<const PairSurrogate> g, const Folds& folds,
    const std::vector<std::vector<NodeId>>& partners) {
  const std::size_t n = table.n, orders = table.orders;
  std::vector<std::vector<std::vector<Control>>> out(folds.count);
  if (folds.count < 2 || orders - orders / folds.count < kControlRowsPerTerm) return out;
  std::vector<double> y, d_g;
  std::vector<std::size_t> train;
  for (std::size_t k = 0; k < folds.count; ++k) {
    train.clear();
    for (std::size_t r = 0; r < orders; ++r) {
      if (folds.of(r) != k && !plan.draws[r].rare()) train.push_back(r);
    }
    y = table.marginal;
    if (!g.empty()) {
      for (std::size_t r : train) {
        g[k].marginals(plan.orders[r], d_g);
        for (NodeId i = 0; i < n; ++i) y[r * n + i] -= d_g[i];
      }
    }
    Result<std::vector<std::vector<Control>>> c = fit_controls(table, y, train, partners);
    if (!c) return std::unexpected(std::move(c.error()));
    out[k] = std::move(*c);
  }
  return out;
}

// Needed: the pairs whose P(first before second) the estimate uses, each
// once, with what a unit of that probability adds to the estimate of the
// second node, and a unit of its complement to the first; and the triples
// whose P(each node last) it uses, with what a unit adds to the node that is
// last (for the error of sampled probabilities).
struct Needed {
  std::vector<NodePair> pairs;
  std::vector<double> to_second, to_first;
  std::vector<NodeTriple> triples;
  std::vector<double> to_last;
  boost::unordered_flat_map<std::uint64_t, std::size_t> index;

  std::size_t of(NodeId a, NodeId b) {
    const NodePair p{std::min(a, b), std::max(a, b)};
    const auto [at, fresh] = index.try_emplace((std::uint64_t{p.first} << 32) | p.second, pairs.size());
    if (fresh) {
      pairs.push_back(p);
      to_second.push_back(0.0);
      to_first.push_back(0.0);
    }
    return at->second;
  }
};

// sample_precedence: P(first before second) for the pairs `sampled` of
// `needed`, from `draws` orders drawn without any call (the pool's, in the
// source's order of streams, then more); and the standard error this adds to each
// node's estimate. The estimate stays unbiased, since it is linear in the
// probabilities.
Result<void> sample_precedence(OrderSource& source, const OrderPool& pool, SampleRng& rng,
                               const Needed& needed, std::span<const std::size_t> sampled,
                               std::span<const std::size_t> sampled_triples, std::uint64_t draws,
                               std::vector<double>& first_before, std::vector<double>& last,
                               std::vector<double>& error) {
  const std::size_t n = source.n_nodes();
  std::vector<std::uint64_t> firsts(sampled.size(), 0), lasts(3 * sampled_triples.size(), 0);
  std::vector<std::size_t> position(n);
  std::vector<double> share(n);
  std::vector<NodeId> fresh;
  Replicates shares(n, source.streams());
  for (std::uint64_t d = 0; d < draws; ++d) {
    if (d % 64 == 0) {
      if (Result<void> r = check_interrupt(); !r) return r;
    }
    if (d >= pool.size()) {
      if (Result<void> r = source.draw(rng, fresh); !r) return r;
    }
    const std::span<const NodeId> order = d < pool.size() ? pool.order(d) : std::span<const NodeId>(fresh);
    for (std::size_t t = 0; t < n; ++t) position[order[t]] = t;
    std::ranges::fill(share, 0.0);
    for (std::size_t q = 0; q < sampled.size(); ++q) {
      const std::size_t k = sampled[q];
      const auto [i, j] = needed.pairs[k];
      const bool i_first = position[i] < position[j];
      firsts[q] += i_first;
      if (i_first) {
        share[j] += needed.to_second[k];
      } else {
        share[i] += needed.to_first[k];
      }
    }
    for (std::size_t q = 0; q < sampled_triples.size(); ++q) {
      const std::size_t k = sampled_triples[q];
      const std::size_t m = last_of(needed.triples[k], position);
      ++lasts[3 * q + m];
      share[needed.triples[k][m]] += needed.to_last[k];
    }
    shares.add(share);
  }
  for (std::size_t q = 0; q < sampled.size(); ++q) {
    first_before[sampled[q]] = double(firsts[q]) / double(draws);
  }
  for (std::size_t q = 0; q < sampled_triples.size(); ++q) {
    for (std::size_t m = 0; m < 3; ++m)
      last[3 * sampled_triples[q] + m] = double(lasts[3 * q + m]) / double(draws);
  }
  std::vector<double> mean;
  shares.finish(mean, error);
  return {};
}

// precedence: P(first before second) for every needed pair, and P(each node
// last) for every needed triple, counted where the source can, else sampled
// (see sample_precedence, which also gives the error added).
Result<std::vector<double>> precedence(OrderSource& source, const OrderPool& pool, SampleRng& rng,
                                       const Needed& needed, std::size_t orders_walked,
                                       std::vector<double>& last, std::vector<double>& error) {
  const std::size_t n = source.n_nodes();
  std::vector<double> out(needed.pairs.size());
  std::vector<std::size_t> counted, sampled;
  for (std::size_t k = 0; k < needed.pairs.size(); ++k) {
    (source.exact_pair(needed.pairs[k]) ? counted : sampled).push_back(k);
  }
  error.assign(n, 0.0);
  if (!counted.empty()) {
    std::vector<NodePair> some;
    for (std::size_t k : counted) some.push_back(needed.pairs[k]);
    Result<std::vector<double>> p = source.first_before(some);
    if (!p) return std::unexpected(std::move(p.error()));
    for (std::size_t q = 0; q < counted.size(); ++q) out[counted[q]] = (*p)[q];
  }
  last.assign(3 * needed.triples.size(), 0.0);
  std::vector<std::size_t> counted_triples, sampled_triples;
  for (std::size_t k = 0; k < needed.triples.size(); ++k) {
    (source.exact_triple(needed.triples[k]) ? counted_triples : sampled_triples).push_back(k);
  }
  if (!counted_triples.empty()) {
    std::vector<NodeTriple> some;
    for (std::size_t k : counted_triples) some.push_back(needed.triples[k]);
    Result<std::vector<double>> p = source.last_of_triples(some);
    if (!p) return std::unexpected(std::move(p.error()));
    for (std::size_t q = 0; q < counted_triples.size(); ++q) {
      for (std::size_t m = 0; m < 3; ++m) last[3 * counted_triples[q] + m] = (*p)[3 * q + m];
    }
  }
  if (sampled.empty() && sampled_triples.empty()) return out;
  const double per_draw = double(n) * (double(kChainThinningSweeps) + 2.0) +
                          double(sampled.size()) + 3.0 * double(sampled_triples.size());
  const std::uint64_t draws = std::min<std::uint64_t>(
      std::max<std::uint64_t>(kMinFreeOrders, kFreeOrdersPerOrder * orders_walked),
      static_cast<std::uint64_t>(kFreeOrderWork / per_draw) + 1);
  if (Result<void> r = sample_precedence(source, pool, rng, needed, sampled, sampled_triples, draws,
                                         out, last, error);
      !r) {
    return std::unexpected(std::move(r.error()));
  }
  return out;
}

// unreversed_bound: per node, what the orderings the pool never held can
// move its estimate by: a pair the pool always put one way round is the
// other way with probability p (counted, else about 1 / N: N draws seldom
// miss what is likelier), and then moves the node by no more than `range`.
Result<std::vector<double>> unreversed_bound(const OrderPool& pool, const OrderSource& source,
                                             std::span<const double> range) {
  const std::size_t n = range.size();
  std::vector<double> p_sq(n, 0.0);
  std::vector<NodePair> counted;  // (later, earlier): P(the rare way)
  const double unseen = 1.0 / double(pool.size());
  for (const auto& [a, b] : pool.unreversed()) {
    if (source.exact_pair({std::min(a, b), std::max(a, b)})) {
      counted.push_back({b, a});
    } else {
      p_sq[a] += unseen * unseen;
      p_sq[b] += unseen * unseen;
    }
  }
  Result<std::vector<double>> p = source.first_before(counted);
  if (!p) return std::unexpected(std::move(p.error()));
  for (std::size_t k = 0; k < counted.size(); ++k) {
    const double q = (*p)[k];
    p_sq[counted[k].first] += q * q;
    p_sq[counted[k].second] += q * q;
  }
  for (std::size_t i = 0; i < n; ++i) p_sq[i] = range[i] * std::sqrt(p_sq[i]);
  return p_sq;
}

// combine: per order, its fold's surrogate ASV plus the order's residual
// marginals less its fold's precedence controls, the residual weighted by
// the order's pool weight; their mean is the estimate, their spread the
// error.
Result<WithinEstimate> combine(const Dag& dag, const Plan& plan, const std::vector<double>& values,
                               OrderSource& source, const OrderPool& pool, SampleRng& rng,
                               const Folds& folds, std::uint64_t max_calls) {
  const std::size_t n = dag.n_nodes(), orders = plan.orders.size();
  OrderTable table(n, orders);
  std::vector<std::size_t> at;
  for (std::size_t r = 0; r < orders; ++r) {
    const std::vector<NodeId>& o = plan.orders[r];
    plan.positions(o, at);
    for (std::size_t t = 0; t < o.size(); ++t) {
      table.marginal[r * n + o[t]] = values[at[t + 1]] - values[at[t]];
      table.position[r * n + o[t]] = static_cast<std::uint32_t>(t);
    }
  }
  Result<std::vector<PairSurrogate>> fitted =
      fold_surrogates(dag, plan, table, values, folds, max_calls);
  if (!fitted) return std::unexpected(std::move(fitted.error()));
  const std::vector<PairSurrogate>& g = *fitted;  // per fold, fitted without it
  // Candidates: incomparable pairs, nearest layers first, as many as the
  // screen's work allows (it reads each, both ways round, once per order per fold).
  std::vector<std::vector<NodeId>> partners(n);
  if (folds.count >= 2) {
    const double budget = fit_work_budget(max_calls);
    const double fits = std::min(budget / (2.0 * double(orders * folds.count)), double(kMaxControlCandidates));
    for (const auto& [i, j] : incomparable_pairs(dag, static_cast<std::size_t>(fits))) {
      partners[i].push_back(j);
      partners[j].push_back(i);
    }
  }
  Result<std::vector<std::vector<std::vector<Control>>>> controls = fold_controls(plan, table, g, folds, partners);
  if (!controls) return std::unexpected(std::move(controls.error()));
  const std::vector<std::vector<std::vector<Control>>>& c = *controls;  // per fold and node

  // Each fold's terms weigh by the share of the orders it corrects.
  std::vector<double> share(folds.count, 0.0);
  for (std::size_t r = 0; r < orders; ++r) share[folds.of(r)] += 1.0 / double(orders);
  Needed needed;  // the surrogate's pairs first, in its order
  if (!g.empty()) {
    for (std::size_t q = 0; q < g[0].pairs().size(); ++q) {  // every fold has the same pairs
      const auto [i, j] = g[0].pairs()[q];
      const std::size_t k = needed.of(i, j);
      for (std::size_t f = 0; f < g.size(); ++f) {
        needed.to_second[k] += g[f].pair_term(q) * share[f];
        needed.to_first[k] += g[f].pair_term(q) * share[f];
      }
    }
    needed.triples.assign(g[0].triples().begin(), g[0].triples().end());
    needed.to_last.assign(needed.triples.size(), 0.0);
    for (std::size_t q = 0; q < needed.triples.size(); ++q) {
      for (std::size_t f = 0; f < g.size(); ++f)
        needed.to_last[q] += g[f].triple_term(q) * share[f];
    }
  }
  std::vector<std::vector<std::vector<std::size_t>>> pair_of(c.size());  // per control
  for (std::size_t f = 0; f < c.size(); ++f) {
    pair_of[f].resize(n);
    for (NodeId j = 0; j < c[f].size(); ++j) {
      for (const Control& x : c[f][j]) {
        const std::size_t k = needed.of(x.partner, j);
        (j == needed.pairs[k].second ? needed.to_second : needed.to_first)[k] += x.weight * share[f];
        pair_of[f][j].push_back(k);
      }
    }
  }
  std::vector<double> sampling_error, last;  // of the probabilities sampled
  Result<std::vector<double>> first_before =
      precedence(source, pool, rng, needed, orders, last, sampling_error);
  if (!first_before) return std::unexpected(std::move(first_before.error()));
  const std::vector<double>& p = *first_before;
  std::vector<std::vector<double>> base;  // per fold, its surrogate's ASV
  for (const PairSurrogate& gk : g)
    base.push_back(gk.asv(std::span(p).first(gk.pairs().size()), last));

  Replicates est(n, 0), plain(n, 0);
  std::vector<double> d_g, psi(n), row(n), fold_sum(folds.count * n, 0.0);
  // Per fold and node: the range of the residuals, and their weighted
  // moments (the pool's own error).
  std::vector<double> low(folds.count * n, std::numeric_limits<double>::infinity()),
      high(folds.count * n, -low[0]);
  std::vector<double> weight_sum(folds.count, 0.0), first_moment(folds.count * n, 0.0),
      second_moment(folds.count * n, 0.0);
  for (std::size_t r = 0; r < orders; ++r) {
    if (Result<void> e = check_interrupt(); !e) return std::unexpected(std::move(e.error()));
    const std::size_t k = folds.of(r);
    const double w = plan.weights[r];
    std::copy_n(table.marginal.begin() + static_cast<std::ptrdiff_t>(r * n), n, psi.begin());
    for (std::size_t i = 0; i < n; ++i) row[i] = w * psi[i];
    plain.add(row);
    if (!g.empty()) {
      g[k].marginals(plan.orders[r], d_g);
      for (std::size_t i = 0; i < n; ++i) psi[i] -= d_g[i];
    }
    if (!c[k].empty()) {
      for (NodeId j = 0; j < n; ++j) {
        for (std::size_t q = 0; q < c[k][j].size(); ++q) {
          const Control& x = c[k][j][q];
          const std::size_t pk = pair_of[k][j][q];
          const double mean = x.partner == needed.pairs[pk].first ? p[pk] : 1.0 - p[pk];
          psi[j] -= x.weight * (double(table.before(r, x.partner, j)) - mean);
        }
      }
    }
    weight_sum[k] += w;
    for (std::size_t i = 0; i < n; ++i) {
      low[k * n + i] = std::min(low[k * n + i], psi[i]);
      high[k * n + i] = std::max(high[k * n + i], psi[i]);
      first_moment[k * n + i] += w * psi[i];
      second_moment[k * n + i] += w * psi[i] * psi[i];
    }
    // From here on the table holds each order's residuals.
    std::copy(psi.begin(), psi.end(), table.marginal.begin() + static_cast<std::ptrdiff_t>(r * n));
  }
  // Per fold, the residuals' weighted mean over the fold's weights (a ratio
  // estimate): weights times the whole residual would carry the part of the
  // truth the surrogate misses, a constant, into the spread wherever the
  // weights differ. Each order's row is its fold's estimate plus its
  // weighted deviation, so that the rows' mean is the estimate and their
  // spread its error.
  std::vector<double> count(folds.count, 0.0);
  for (std::size_t r = 0; r < orders; ++r) count[folds.of(r)] += 1.0;
  for (std::size_t r = 0; r < orders; ++r) {
    const std::size_t k = folds.of(r);
    const double relative = plan.weights[r] * count[k] / weight_sum[k];
    for (std::size_t i = 0; i < n; ++i) {
      const double mean = first_moment[k * n + i] / weight_sum[k];
      row[i] = (g.empty() ? 0.0 : base[k][i]) + mean + relative * (table.marginal[r * n + i] - mean);
    }
    est.add(row);
    for (std::size_t i = 0; i < n; ++i) fold_sum[k * n + i] += row[i];
  }
  WithinEstimate out;
  est.finish(out.values, out.stderr_values);
  // The terms cancel in each order's estimate; with nearly collinear terms
  // they are large, and so is what rounding leaves.
  double scale = 0.0;
  for (double x : values) scale = std::max(scale, std::abs(x));
  for (const PairSurrogate& gk : g) {
    double total = 0.0;
    for (NodeId i = 0; i < n; ++i) total += std::abs(gk.additive_term(i));
    for (std::size_t k = 0; k < gk.pairs().size(); ++k) total += std::abs(gk.pair_term(k));
    for (std::size_t k = 0; k < gk.triples().size(); ++k) total += std::abs(gk.triple_term(k));
    scale = std::max(scale, total);
  }
  for (const auto& fold : c) {
    for (const auto& node : fold) {
      double total = 0.0;
      for (const Control& x : node) total += std::abs(x.weight);
      scale = std::max(scale, total);
    }
  }
  floor_at_rounding(out.stderr_values, scale);
  // Each fold's terms were fitted on the other folds' orders, which ties the
  // folds' estimates together in a way their own spread does not show; like
  // a regression's prediction error, it grows with the terms fitted per row:
  // the surrogate's per coalition, a node's controls per order.
  const double surrogate =
      g.empty() ? 0.0
                : double(PairSurrogate::terms(n, g[0].pairs().size(), g[0].triples().size())) /
                      double(plan.size());
  for (std::size_t i = 0; i < n; ++i) {
    double fitted_per_order = 0.0;
    for (std::size_t f = 0; f < c.size(); ++f) {
      if (!c[f].empty()) fitted_per_order += share[f] * double(c[f][i].size()) / (double(orders) * (1.0 - share[f]));
    }
    out.stderr_values[i] = root_sum_square(out.stderr_values[i] * std::sqrt(1.0 + surrogate + fitted_per_order), sampling_error[i]);
  }
  // The walk estimates the pool's mean; the pool, the mean over all orders,
  // with the residuals' variance over its orders (each fold's, as the folds'
  // residuals differ by their surrogates; the draws, weighted, estimate it)
  // divided by its independent orders.
  const double independent = double(pool.size()) / (source.streams() == 0 ? 1.0 : kChainPoolDependence);
  for (std::size_t i = 0; i < n; ++i) {
    double variance = 0.0;
    for (std::size_t f = 0; f < folds.count; ++f) {
      if (weight_sum[f] == 0.0) continue;
      const double mean = first_moment[f * n + i] / weight_sum[f];
      variance += share[f] * std::max(0.0, second_moment[f * n + i] / weight_sum[f] - mean * mean);
    }
    out.stderr_values[i] = root_sum_square(out.stderr_values[i], std::sqrt(variance / independent));
  }
  // However little spread the controls leave, they never claim to cut the
  // plain marginals' error more than kMaxControlGain-fold: what no fit saw
  // left nodes of alarm at 10^5 calls with errors of 1e-9 against 1e-11.
  std::vector<double> plain_mean, plain_error;
  plain.finish(plain_mean, plain_error);
  for (std::size_t i = 0; i < n; ++i) {
    out.stderr_values[i] = std::max(out.stderr_values[i], plain_error[i] / kMaxControlGain);
  }
  // An ordering too rare to be walked shows in no fit and no spread. The
  // pool's rare orders are walked about kRareWalks times each; what the pool
  // never held is bounded by the widest range, within a fold, of the
  // residuals the walk averages, or by what moves most nodes' residuals
  // (kUnseenRangeQuantile): a node's own range is zero where only orderings
  // the pool never held move it. Not the range of the marginals less the
  // surrogate: those vary with the precedence of the pairs the controls
  // hold, whose share the controls' means already give (on andes at 10^5
  // calls that range was 15,000 times the error, widening intervals that
  // covered without it). Nor across folds: the folds' surrogates may split
  // collinear terms differently (twins), which moves each fold's residuals
  // by a constant that no ordering's share depends on.
  std::vector<double> range(n, 0.0);
  for (std::size_t k = 0; k < folds.count; ++k) {
    for (std::size_t i = 0; i < n; ++i) {
      if (high[k * n + i] >= low[k * n + i])
        range[i] = std::max(range[i], high[k * n + i] - low[k * n + i]);
    }
  }
  if (n > 0) {
    std::vector<double> sorted = range;
    const auto at =
        sorted.begin() + static_cast<std::ptrdiff_t>(kUnseenRangeQuantile * double(n - 1));
    std::ranges::nth_element(sorted, at);
    for (double& x : range) x = std::max(x, *at);
  }
  Result<std::vector<double>> bound = unreversed_bound(pool, source, range);
  if (!bound) return std::unexpected(std::move(bound.error()));
  for (std::size_t i = 0; i < n; ++i) out.stderr_values[i] = root_sum_square(out.stderr_values[i], (*bound)[i]);
  // Each fold's terms come from one fit, so a fit's shrinkage can move all of
  // a fold's orders together while their spread stays near zero (a node the
  // terms capture all but exactly). Folds whose means disagree far beyond
  // that spread (the error of their mean over kFoldDisagreement times the
  // spread's) give the error instead; with five folds, chance alone does
  // that for fewer than one node in 10^6.
  if (folds.count >= 2) {
    for (std::size_t i = 0; i < n; ++i) {
      double ss = 0.0;
      for (std::size_t f = 0; f < folds.count; ++f) {
        const double d = fold_sum[f * n + i] / count[f] - out.values[i];
        ss += d * d;
      }
      const double between = std::sqrt(ss / double(folds.count * (folds.count - 1)));
      if (between > kFoldDisagreement * out.stderr_values[i]) out.stderr_values[i] = between;
    }
  }
  out.calls = plan.size();
  out.orders = orders;
  return out;
}

// pool_size: kPoolOrdersPerWalk orders per order walked, at least the
// precedence's kMinFreeOrders, within the pool's memory and its moves: a
// draw moves each node a few times, and each of the source's `streams`
// chains is burnt in once, which on 10,000 nodes is most of the cost. The
// pool holds at least twice the orders expected to be walked. Candidate
// pairs are read in the first kMinFreeOrders orders, as many as the work
// allows, no more than the controls' candidates.
OrderPoolSize pool_size(std::size_t n, std::uint64_t walks, std::size_t streams, std::uint64_t calls) {
  const double per_draw = double(n) * (double(kChainThinningSweeps) + 2.0);
  const double burn_in = double(n) * double(kChainBurnInSweeps);
  const double moves = kPoolMovesBase + kPoolMovesPerCall * double(calls);
  auto cost = [&](double orders) { return per_draw * orders + burn_in * std::min(orders, double(streams)); };
  double orders = std::max(double(kPoolOrdersPerWalk) * double(walks), double(kMinFreeOrders));
  orders = std::min(orders, double(kWithinPoolBytes) / (double(n) * sizeof(NodeId)));
  while (orders > 2.0 * double(walks) && cost(orders) > moves) orders = std::floor(orders * 0.9);
  orders = std::max(orders, 1.0);
  return {.orders = static_cast<std::size_t>(orders),
          .walks = static_cast<std::size_t>(walks),
          .pairs = static_cast<std::size_t>(
              std::min(kFreeOrderWork / 2.0 / std::min(orders, double(kMinFreeOrders)), double(kMaxControlCandidates)))};
}

template <class Oracle>
Result<WithinEstimate> run(const ExplainerState& state, Oracle& oracle,
                           const WithinOptions& options, OrderSource& source, SampleRng& rng) {
  const std::size_t n = state.n_nodes();
  if (Result<void> r = covers_one_order(n, options.max_calls); !r) return std::unexpected(r.error());
  // Orders drawn from the pool are independent given the pool, whatever
  // the source: no more folds than the orders the budget is likely to walk.
  const std::uint64_t expected_orders = std::max<std::uint64_t>(options.max_calls / (n + 1), 1);
  Folds folds{.count = static_cast<std::size_t>(std::clamp<std::uint64_t>(expected_orders, 1, kSurrogateFolds)),
              .of_order = {}};
  Result<OrderPool> pool =
      OrderPool::make(state.graph(), source, rng, pool_size(n, expected_orders, source.streams(), options.max_calls));
  if (!pool) return std::unexpected(std::move(pool.error()));
  Plan plan(n);
  if (Result<void> r = plan_orders(plan, *pool, rng, options.max_calls, folds); !r) {
    return std::unexpected(std::move(r.error()));
  }
  Result<std::vector<double>> values =
      evaluate(plan.sets(), plan.words, oracle, options.batch_size, options.progress);
  if (!values) return std::unexpected(std::move(values.error()));
  return combine(state.graph(), plan, *values, source, *pool, rng, folds, options.max_calls);
}

template <class Oracle>
Result<WithinEstimate> run_own_source(const ExplainerState& state, Oracle& oracle,
                                      const WithinOptions& options) {
  const std::size_t n = state.n_nodes();
  if (Result<void> r = covers_one_order(n, options.max_calls); !r) return std::unexpected(r.error());
  SampleRng rng = options.seed ? rng_from_seed(*options.seed) : rng_from_entropy();
  Result<OrderSource> source = OrderSource::make(state.graph(), order_source_limits(n, options), rng);
  if (!source) return std::unexpected(std::move(source.error()));
  return run(state, oracle, options, *source, rng);
}

}  // namespace

Result<void> covers_one_order(std::size_t n, std::uint64_t max_calls) {
  if (max_calls >= n + 1) return {};
  return std::unexpected(AsvError::invalid_configuration(
      "explain_within needs max_calls \xe2\x89\xa5 n + 1 = " + std::to_string(n + 1) +
      " to walk one ordering"));
}

void floor_at_rounding(std::vector<double>& stderr_values, double scale) {
  const double rounding = kRoundingUlps * std::numeric_limits<double>::epsilon() * scale;
  for (double& e : stderr_values) e = root_sum_square(e, rounding);
}

OrderSourceLimits order_source_limits(std::size_t n, const WithinOptions& options) {
  const std::uint64_t calls = options.max_calls;
  const std::uint64_t per_call = calls > (UINT64_MAX - kWithinIdealsBase) / kWithinIdealsPerCall
                                     ? UINT64_MAX - kWithinIdealsBase
                                     : calls * kWithinIdealsPerCall;
  return {.ideal_limit = options.counted_ideal_limit.value_or(kWithinIdealsBase + per_call),
          .memory_budget = kWithinLatticeBytes,
          // Orders share prefixes, so the budget walks more of them than
          // calls / (n + 1): streams enough for each to have its own.
          .streams = static_cast<std::size_t>(
              std::clamp<std::uint64_t>(4 * (calls / (n + 1)), 2, kMaxChainStreams))};
}

Result<WithinEstimate> estimate_within(const ExplainerState& state, ValueOracle& oracle,
                                       const WithinOptions& options) {
  return run_own_source(state, oracle, options);
}

Result<WithinEstimate> estimate_within(const ExplainerState& state, BatchValueOracle& oracle,
                                       const WithinOptions& options) {
  return run_own_source(state, oracle, options);
}

Result<WithinEstimate> estimate_within(const ExplainerState& state, ValueOracle& oracle,
                                       const WithinOptions& options, OrderSource& source,
                                       SampleRng& rng) {
  return run(state, oracle, options, source, rng);
}

Result<WithinEstimate> estimate_within(const ExplainerState& state, BatchValueOracle& oracle,
                                       const WithinOptions& options, OrderSource& source,
                                       SampleRng& rng) {
  return run(state, oracle, options, source, rng);
}

}  // namespace morvend

#include "budget/estimate_within.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>

#include "budget/evaluate.hpp"
#include "budget/surrogate.hpp"
#include "budget/within.hpp"
#include "coalition/coalition.hpp"
#include "graph/interrupt.hpp"
#include "graph/limits.hpp"

namespace morvend {
namespace {

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

// Folds: order r goes to fold (r % streams) % count with streams (a stream
// whole in one fold, since its orders depend on each other), else r % count.
struct Folds {
  std::size_t count = 1, streams = 0;
  std::size_t of(std::size_t r) const { return (streams == 0 ? r : r % streams) % count; }
};

// Plan: the orders walked and the coalitions they need, each once, in the
// order they are first met, with the folds whose orders pass through each.
struct Plan {
  explicit Plan(std::size_t n) : words(words_for(n)), coalitions(words) {}

  std::size_t words;
  std::vector<std::vector<NodeId>> orders;
  CoalitionIndex coalitions;
  std::vector<std::uint64_t> folds;  // per coalition, a bit per fold

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

// plan_orders: draws orders while their new coalitions fit the budget. Orders
// whose coalitions are all known cost no call; the cap on their number ends
// the walk when every ideal is known (a budget the exact path would take).
Result<void> plan_orders(Plan& plan, OrderSource& source, SampleRng& rng, std::uint64_t max_calls,
                         const Folds& folds) {
  std::vector<NodeId> order;
  CoalitionList fresh(plan.words);
  std::vector<std::size_t> known;
  std::vector<std::uint64_t> s;
  while (plan.orders.size() < max_calls) {
    if (Result<void> r = check_interrupt(); !r) return r;
    if (Result<void> r = source.draw(rng, order); !r) return r;
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
    const std::uint64_t bit = std::uint64_t{1} << folds.of(plan.orders.size());
    for (std::size_t k : known) plan.folds[k] |= bit;
    for (std::size_t k = 0; k < fresh.size(); ++k) {
      plan.coalitions.insert(fresh[k]);
      plan.folds.push_back(bit);
    }
    plan.orders.push_back(order);
  }
  return {};
}

// fold_surrogates: the surrogate of each fold, fitted without the coalitions
// only that fold's orders met (fit_folds), with the incomparable pairs that
// best explain what an additive fit leaves (candidates nearest layers first,
// as many as the screen's work allows), while the coalitions outnumber all
// the terms twice and the fits' work stays within the budget: the normal
// equations cost about rows * (active terms)^2 to build twice (all rows, then
// each fold's), and terms^3 / 3 per fold to solve. The pairs are chosen once,
// on every coalition: per fold, as paired strata choose them, would cost a
// Gram per fold, and on orders the shared choice left the 95% intervals at
// 0.945 to 0.96 on real networks. None when there is nothing to cross-fit
// (one fold): an additive surrogate alone changes nothing, as its marginals
// are the same along every order.
Result<std::vector<PairSurrogate>> fold_surrogates(const Dag& dag, const Plan& plan,
                                                   const std::vector<double>& values,
                                                   std::size_t folds, std::uint64_t max_calls) {
  const std::size_t n = dag.n_nodes();
  const std::size_t most = std::min(kMaxSurrogateTerms, plan.size() / 2);
  if (folds < 2 || PairSurrogate::terms(n, 1) > most) return std::vector<PairSurrogate>{};
  const double rows = double(plan.size());
  const double budget = kFitWorkBase + kFitWorkPerCall * double(max_calls);
  auto work = [&](double p) {
    // A coalition holds about half the nodes and a quarter of the pairs.
    const double active = 1.0 + double(n) / 2.0 + p / 4.0;
    const double terms = double(PairSurrogate::terms(n, 0)) + p;
    return 2.0 * rows * active * active + double(folds) * terms * terms * terms / 3.0;
  };
  std::size_t keep = most - PairSurrogate::terms(n, 0);
  while (keep > 0 && work(double(keep)) > budget) keep = keep * 9 / 10;
  if (keep == 0) return std::vector<PairSurrogate>{};
  // The screen reads about half the candidates per coalition.
  const auto screened = static_cast<std::size_t>(std::min(2.0 * budget / rows, double(kMaxScreenedPairs)));
  Result<std::vector<NodePair>> pairs = strongest_pairs(
      n, incomparable_pairs(dag, std::max(keep, screened)), keep, plan.words, plan.sets(), values);
  if (!pairs) return std::unexpected(std::move(pairs.error()));
  // A coalition met only by fold k's orders is left out of fold k's fit.
  std::vector<std::vector<std::size_t>> only(folds);
  for (std::size_t c = 0; c < plan.size(); ++c) {
    const std::uint64_t f = plan.folds[c];
    if ((f & (f - 1)) == 0) only[static_cast<std::size_t>(__builtin_ctzll(f))].push_back(c);
  }
  return fit_folds(n, *pairs, keep, plan.words, plan.sets(), values, {}, only);
}

// sample_precedence: P(i before j) for the pairs `sampled` of `pairs` (those
// whose precedence cannot be counted), into first_before, from `draws` orders
// drawn without any call; and the standard error this adds to each node's
// surrogate ASV, whose pair terms are `terms` (one per sampled pair). The
// surrogate's ASV stays unbiased, since it is linear in the probabilities.
Result<void> sample_precedence(OrderSource& source, SampleRng& rng, std::span<const NodePair> pairs,
                               std::span<const std::size_t> sampled, std::span<const double> terms,
                               std::uint64_t draws, std::vector<double>& first_before,
                               std::vector<double>& error) {
  const std::size_t n = source.n_nodes();
  std::vector<std::uint64_t> firsts(sampled.size(), 0);
  std::vector<NodeId> order;
  std::vector<std::size_t> position(n);
  std::vector<double> share(n);
  Replicates shares(n, source.streams());
  for (std::uint64_t d = 0; d < draws; ++d) {
    if (Result<void> r = source.draw(rng, order); !r) return r;
    for (std::size_t t = 0; t < n; ++t) position[order[t]] = t;
    std::ranges::fill(share, 0.0);
    for (std::size_t q = 0; q < sampled.size(); ++q) {
      const auto [i, j] = pairs[sampled[q]];
      const bool i_first = position[i] < position[j];
      firsts[q] += i_first;
      share[i_first ? j : i] += terms[q];  // the term goes to the later node
    }
    shares.add(share);
  }
  for (std::size_t q = 0; q < sampled.size(); ++q) {
    first_before[sampled[q]] = double(firsts[q]) / double(draws);
  }
  std::vector<double> mean;
  shares.finish(mean, error);
  return {};
}

// precedence: P(i before j) for every pair of the folds' surrogates (the same
// pairs in each), counted where the source can, else sampled (see
// sample_precedence, which also gives the error added).
Result<std::vector<double>> precedence(OrderSource& source, SampleRng& rng,
                                       std::span<const NodePair> pairs,
                                       std::span<const PairSurrogate> g, const Plan& plan,
                                       const Folds& folds, std::vector<double>& error) {
  const std::size_t n = source.n_nodes();
  std::vector<double> out(pairs.size());
  std::vector<std::size_t> counted, sampled;
  for (std::size_t k = 0; k < pairs.size(); ++k) {
    (source.exact_pair(pairs[k]) ? counted : sampled).push_back(k);
  }
  error.assign(n, 0.0);
  if (!counted.empty()) {
    std::vector<NodePair> some;
    for (std::size_t k : counted) some.push_back(pairs[k]);
    Result<std::vector<double>> p = source.first_before(some);
    if (!p) return std::unexpected(std::move(p.error()));
    for (std::size_t q = 0; q < counted.size(); ++q) out[counted[q]] = (*p)[q];
  }
  if (sampled.empty()) return out;
  // The folds' terms, weighted by the orders each corrects.
  std::vector<double> share(folds.count, 0.0), terms(sampled.size(), 0.0);
  for (std::size_t r = 0; r < plan.orders.size(); ++r) share[folds.of(r)] += 1.0;
  for (std::size_t k = 0; k < folds.count; ++k) {
    for (std::size_t q = 0; q < sampled.size(); ++q) {
      terms[q] += g[k].pair_term(sampled[q]) * share[k] / double(plan.orders.size());
    }
  }
  const double per_draw = double(n) * (double(kChainThinningSweeps) + 2.0) + double(sampled.size());
  const std::uint64_t draws = std::min<std::uint64_t>(
      std::max<std::uint64_t>(kMinFreeOrders, kFreeOrdersPerOrder * plan.orders.size()),
      static_cast<std::uint64_t>(kFreeOrderWork / per_draw) + 1);
  if (Result<void> r = sample_precedence(source, rng, pairs, sampled, terms, draws, out, error); !r) {
    return std::unexpected(std::move(r.error()));
  }
  return out;
}

// combine: per order, its fold's surrogate ASV plus the order's residual
// marginals; their mean is the estimate, their spread the error.
Result<WithinEstimate> combine(const Dag& dag, const Plan& plan, const std::vector<double>& values,
                               OrderSource& source, SampleRng& rng, const Folds& folds,
                               std::uint64_t max_calls) {
  const std::size_t n = dag.n_nodes();
  Result<std::vector<PairSurrogate>> fitted = fold_surrogates(dag, plan, values, folds.count, max_calls);
  if (!fitted) return std::unexpected(std::move(fitted.error()));
  const std::vector<PairSurrogate>& g = *fitted;  // per fold, fitted without it
  std::vector<std::vector<double>> base;
  std::vector<double> sampling_error;  // of the surrogate's ASV, from sampled precedence
  if (!g.empty()) {
    // Every fold has the same pairs (chosen once).
    Result<std::vector<double>> first_before =
        precedence(source, rng, g[0].pairs(), g, plan, folds, sampling_error);
    if (!first_before) return std::unexpected(std::move(first_before.error()));
    for (const PairSurrogate& gk : g) base.push_back(gk.asv(*first_before));
  }
  Replicates est(n, folds.streams);
  std::vector<std::size_t> at;
  std::vector<double> d_g, psi(n);
  for (std::size_t r = 0; r < plan.orders.size(); ++r) {
    if (Result<void> e = check_interrupt(); !e) return std::unexpected(std::move(e.error()));
    const std::vector<NodeId>& o = plan.orders[r];
    plan.positions(o, at);
    for (std::size_t t = 0; t < o.size(); ++t) psi[o[t]] = values[at[t + 1]] - values[at[t]];
    if (!g.empty()) {
      const std::size_t k = folds.of(r);
      g[k].marginals(o, d_g);
      for (std::size_t i = 0; i < n; ++i) psi[i] += base[k][i] - d_g[i];
    }
    est.add(psi);
  }
  WithinEstimate out;
  est.finish(out.values, out.stderr_values);
  double scale = 0.0;
  for (double x : values) scale = std::max(scale, std::abs(x));
  for (const PairSurrogate& gk : g) {
    // The surrogate's terms cancel in each order's estimate; with nearly
    // collinear terms they are large, and so is what rounding leaves.
    double total = 0.0;
    for (NodeId i = 0; i < n; ++i) total += std::abs(gk.additive_term(i));
    for (std::size_t k = 0; k < gk.pairs().size(); ++k) total += std::abs(gk.pair_term(k));
    scale = std::max(scale, total);
  }
  floor_at_rounding(out.stderr_values, scale);
  if (!g.empty()) {
    // Each fold's surrogate was fitted on the other folds' coalitions, which
    // ties the folds' estimates together in a way their own spread does not
    // show; like a regression's prediction error, it grows with the terms
    // per coalition.
    const double f = std::sqrt(1.0 + double(PairSurrogate::terms(n, g[0].pairs().size())) / double(plan.size()));
    for (std::size_t i = 0; i < n; ++i) {
      out.stderr_values[i] = std::hypot(out.stderr_values[i] * f, sampling_error[i]);
    }
  }
  out.calls = plan.size();
  out.orders = plan.orders.size();
  return out;
}

template <class Oracle>
Result<WithinEstimate> run(const ExplainerState& state, Oracle& oracle,
                           const WithinOptions& options, OrderSource& source, SampleRng& rng) {
  const std::size_t n = state.n_nodes();
  if (Result<void> r = covers_one_order(n, options.max_calls); !r) return std::unexpected(r.error());
  // Folds of independent orders, or of whole streams; no more than the
  // orders the budget is likely to walk.
  const std::size_t streams = source.streams();
  const std::uint64_t expected_orders = options.max_calls / (n + 1);
  std::uint64_t count = streams == 0 ? kSurrogateFolds : std::min(streams, kSurrogateFolds);
  count = std::clamp<std::uint64_t>(std::min(count, expected_orders), 1, kSurrogateFolds);
  const Folds folds{.count = static_cast<std::size_t>(count), .streams = streams};
  Plan plan(n);
  if (Result<void> r = plan_orders(plan, source, rng, options.max_calls, folds); !r) {
    return std::unexpected(std::move(r.error()));
  }
  Result<std::vector<double>> values =
      evaluate(plan.sets(), plan.words, oracle, options.batch_size, options.progress);
  if (!values) return std::unexpected(std::move(values.error()));
  return combine(state.graph(), plan, *values, source, rng, folds, options.max_calls);
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
  for (double& e : stderr_values) e = std::hypot(e, rounding);
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

#include "budget/estimate_within.hpp"

#include <algorithm>
#include <cmath>
#include <string>

#include <boost/unordered/unordered_flat_map.hpp>

#include "budget/coalitions.hpp"
#include "budget/extension_chain.hpp"
#include "budget/ideal_lattice.hpp"
#include "budget/precedence.hpp"
#include "budget/surrogate.hpp"
#include "graph/interrupt.hpp"
#include "graph/limits.hpp"
#include "sampler/sampler.hpp"

namespace morvend {
namespace {

// Orders of the chain that estimate the surrogate's values, per order walked.
constexpr std::size_t kCheapOrdersPerOrder = 20;
constexpr std::size_t kMinCheapOrders = 2000;
// ... but no more chain steps in all than this (a fraction of a second).
constexpr std::uint64_t kCheapChainSteps = 50'000'000;
// The lattice of order ideals is built up to this many ideals per call of the
// budget, and at least up to kMinCountedIdeals, before chains are used.
constexpr std::uint64_t kIdealsPerCall = 100;
constexpr std::uint64_t kMinCountedIdeals = 1'000'000;
// Independent chains at most (each costs a burn-in of n^3 steps).
constexpr std::uint64_t kMaxChains = 32;

// lattice_order: a uniform linear extension, node by node from the empty
// ideal: the next node x with probability completions(S + x) / completions(S).
void lattice_order(const IdealLattice& l, SampleRng& rng, std::vector<NodeId>& order) {
  order.clear();
  std::size_t at = 0;
  while (l.out_begin[at] != l.out_begin[at + 1]) {
    const std::size_t first = l.out_begin[at], last = l.out_begin[at + 1];
    std::size_t t = first;
    if (last - first > 1) {
      // The ratios sum to 1 up to rounding; drawing below their sum keeps
      // every transition reachable.
      double total = 0.0;
      for (std::size_t k = first; k < last; ++k) total += ratio(l.completions[l.out_to[k]], l.completions[at]);
      double u = double(rng.next_word64() >> 11) * 0x1.0p-53 * total;
      for (; t + 1 < last; ++t) {
        u -= ratio(l.completions[l.out_to[t]], l.completions[at]);
        if (u < 0.0) break;
      }
    }
    order.push_back(l.out_node[t]);
    at = l.out_to[t];
  }
}

// OrderSource: uniform linear extensions of one graph, and what is known of
// them: exact precedence probabilities (graphs without edges, or whose ideals
// can be counted), or nothing (the chain; then the surrogate's values are
// averaged over many orders that cost no call).
class OrderSource {
 public:
  static Result<OrderSource> make(const ExplainerState& state, std::uint64_t ideal_limit,
                                  std::uint64_t max_calls, SampleRng& rng) {
    const Dag& g = state.graph();
    const std::size_t n = g.n_nodes();
    OrderSource s(state);
    if (g.n_edges() == 0) {
      s.mode_ = Mode::kPermutations;
      return s;
    }
    Result<std::optional<IdealLattice>> lattice = build_lattice(g, ideal_limit, kIdealMemoryBudget);
    if (!lattice) return std::unexpected(std::move(lattice.error()));
    if (*lattice) {
      s.lattice_ = std::move(*lattice);
      s.mode_ = Mode::kCounts;
      return s;
    }
    // Independent chains, one order from each in turn: the spread of their
    // means is an honest error even when each chain mixes slowly. About one
    // chain per order the budget walks, at most kMaxChains.
    const std::uint64_t orders = max_calls / (n + 1);
    const std::size_t chains = static_cast<std::size_t>(std::clamp<std::uint64_t>(orders, 2, kMaxChains));
    for (std::size_t c = 0; c < chains; ++c) s.chains_.emplace_back(g, rng);
    s.mode_ = Mode::kChain;
    return s;
  }

  // exact: whether the precedence probabilities are known exactly (all
  // but the chain).
  bool exact() const { return mode_ != Mode::kChain; }
  // precedence: the exact probabilities, worked out on first use (a
  // surrogate without pair terms needs none).
  // REQUIRES: exact().
  Result<std::span<const double>> precedence() {
    if (precedence_.empty()) {
      const std::size_t n = state_.n_nodes();
      if (lattice_) {
        Result<std::vector<double>> p = morvend::precedence(*lattice_);
        if (!p) return std::unexpected(std::move(p.error()));
        precedence_ = std::move(*p);
      } else {  // every ordering: each of two nodes first half the time
        precedence_.assign(n * n, 0.5);
        for (std::size_t i = 0; i < n; ++i) precedence_[i * n + i] = 0.0;
      }
    }
    return std::span<const double>(precedence_);
  }
  // steps_per_order: the chain's steps between orders (1 for the others).
  std::uint64_t steps_per_order() const { return chains_.empty() ? 1 : chains_[0].thinning(); }
  // groups: orders r and r + groups() come from the same chain; 0 when every
  // order is independent of the others.
  std::size_t groups() const { return chains_.size(); }

  // draw: the next order into `order`.
  Result<void> draw(SampleRng& rng, std::vector<NodeId>& order) {
    switch (mode_) {
      case Mode::kPermutations:
        (void)sample_order(state_.graph(), in_degree_, scratch_, rng);
        order = scratch_.order;
        return {};
      case Mode::kCounts:
        lattice_order(*lattice_, rng, order);
        return {};
      case Mode::kChain:
      {
        ExtensionChain& chain = chains_[next_chain_];
        next_chain_ = (next_chain_ + 1) % chains_.size();
        chain.advance(rng, chain.thinning());
        order.assign(chain.order().begin(), chain.order().end());
      }
        return check_interrupt();
    }
    throw InternalFault("OrderSource: unknown mode");
  }

 private:
  enum class Mode { kPermutations, kCounts, kChain };

  explicit OrderSource(const ExplainerState& state)
      : state_(state), in_degree_(in_degrees(state.graph())), scratch_(state.n_nodes()) {}

  const ExplainerState& state_;
  Mode mode_ = Mode::kPermutations;
  std::vector<std::uint64_t> in_degree_;
  SamplerScratch scratch_;
  std::optional<IdealLattice> lattice_;
  std::vector<ExtensionChain> chains_;
  std::size_t next_chain_ = 0;
  std::vector<double> precedence_;
};

// MeanAndError: per node, the mean of a sequence of values and the standard
// error of that mean; with groups, from the means of the groups (row r in
// group r % groups), as the rows of one group may depend on each other.
class MeanAndError {
 public:
  explicit MeanAndError(std::size_t n) : rows_(0), n_(n) {}
  void add(const std::vector<double>& row) {
    values_.insert(values_.end(), row.begin(), row.end());
    ++rows_;
  }
  void finish(std::size_t groups, std::vector<double>& mean, std::vector<double>& error) const {
    const std::size_t m = rows_;
    const std::size_t batches = groups == 0 ? m : std::min(groups, m);
    mean.assign(n_, 0.0);
    error.assign(n_, 0.0);
    std::vector<double> sum(batches);
    std::vector<std::size_t> size(batches, 0);
    for (std::size_t r = 0; r < m; ++r) ++size[r % batches];
    for (std::size_t i = 0; i < n_; ++i) {
      std::fill(sum.begin(), sum.end(), 0.0);
      for (std::size_t r = 0; r < m; ++r) sum[r % batches] += values_[r * n_ + i];
      double total = 0.0;
      for (double b : sum) total += b;
      mean[i] = total / double(m);
      if (batches < 2) continue;
      double ss = 0.0;
      for (std::size_t b = 0; b < batches; ++b) {
        const double d = sum[b] / double(size[b]) - mean[i];
        ss += d * d * double(size[b]);
      }
      // Variance of one row, from the batches, then of the mean of m rows.
      error[i] = std::sqrt(ss / double(batches - 1) / double(m));
    }
  }

 private:
  std::vector<double> values_;
  std::size_t rows_;
  std::size_t n_;
};

// Plan: the orders walked and the coalitions they need, each once, in the
// order they are first met.
struct Plan {
  std::size_t words = 1;
  std::vector<std::vector<NodeId>> orders;
  Coalitions coalitions;
  boost::unordered_flat_map<std::vector<std::uint64_t>, std::size_t, WordsHash> index;

  std::size_t size() const { return coalitions.size(); }
  // positions: the coalition of each prefix of `order`, the empty one first.
  void positions(std::span<const NodeId> order, std::vector<std::size_t>& out) const {
    std::vector<std::uint64_t> s(words, 0);
    out.assign(1, index.at(s));
    for (NodeId x : order) {
      s[x / 64] |= std::uint64_t{1} << (x % 64);
      out.push_back(index.at(s));
    }
  }
};

// plan_orders: draws orders while their new coalitions fit the budget. Orders
// whose coalitions are all known cost no call; the cap on their number ends
// the walk when every ideal is known (a budget the exact path would take).
Result<Plan> plan_orders(std::size_t n, OrderSource& source, SampleRng& rng,
                         std::uint64_t max_calls) {
  Plan plan;
  plan.words = std::max<std::size_t>(1, (n + 63) / 64);
  plan.coalitions.words = plan.words;
  std::vector<NodeId> order;
  std::vector<std::vector<std::uint64_t>> fresh;
  std::vector<std::uint64_t> s;
  while (plan.orders.size() < max_calls) {
    if (Result<void> r = check_interrupt(); !r) return std::unexpected(std::move(r.error()));
    if (Result<void> r = source.draw(rng, order); !r) return std::unexpected(std::move(r.error()));
    fresh.clear();
    s.assign(plan.words, 0);
    if (!plan.index.contains(s)) fresh.push_back(s);
    for (NodeId x : order) {
      s[x / 64] |= std::uint64_t{1} << (x % 64);
      if (!plan.index.contains(s)) fresh.push_back(s);
    }
    if (plan.size() + fresh.size() > max_calls) break;
    for (std::vector<std::uint64_t>& set : fresh) {
      plan.coalitions.add(set);
      plan.index.emplace(std::move(set), plan.size() - 1);
    }
    plan.orders.push_back(order);
  }
  return plan;
}

// The most terms a surrogate gets: beyond, its normal equations would cost
// more than the estimate is worth (a second or so).
constexpr std::size_t kMaxSurrogateTerms = 2081;

// combine: the surrogate's values plus the mean residual along the orders;
// standard errors from the residual's spread (and, on the chain, from the
// spread of the surrogate's values over the orders that cost no call).
Result<WithinEstimate> combine(const Dag& dag, const Plan& plan, const std::vector<double>& values,
                               OrderSource& source, SampleRng& rng) {
  const std::size_t n = dag.n_nodes();
  // Pair terms for incomparable pairs while the coalitions outnumber all the
  // terms twice, and only where their ASV is exact: on the chains it would be
  // averaged over orders, and the nested prefixes leave many pair terms
  // nearly collinear, so large and noisy.
  const std::size_t most = std::min(kMaxSurrogateTerms, plan.size() / 2);
  const std::vector<NodePair> pairs = source.exact() && PairSurrogate::terms(n, 0) < most
                                          ? incomparable_pairs(dag, most - PairSurrogate::terms(n, 0))
                                          : std::vector<NodePair>();
  const PairSurrogate g = PairSurrogate::fit(n, plan.words, plan.coalitions.sets, values, pairs);
  MeanAndError residual(n);
  std::vector<std::size_t> at;
  std::vector<double> d_g, d(n);
  for (const std::vector<NodeId>& o : plan.orders) {
    if (Result<void> r = check_interrupt(); !r) return std::unexpected(std::move(r.error()));
    plan.positions(o, at);
    g.marginals(o, d_g);
    for (std::size_t t = 0; t < o.size(); ++t)
      d[o[t]] = values[at[t + 1]] - values[at[t]] - d_g[o[t]];
    residual.add(d);
  }
  std::vector<double> base, base_error(n, 0.0);
  if (source.exact()) {
    Result<std::span<const double>> p =
        pairs.empty() ? Result<std::span<const double>>(std::span<const double>()) : source.precedence();
    if (!p) return std::unexpected(std::move(p.error()));
    base = g.asv(*p);
  } else {
    MeanAndError cheap(n);
    const std::size_t k = std::clamp<std::size_t>(
        kCheapOrdersPerOrder * plan.orders.size(), kMinCheapOrders,
        std::max<std::size_t>(kMinCheapOrders, kCheapChainSteps / source.steps_per_order()));
    std::vector<NodeId> order;
    for (std::size_t r = 0; r < k; ++r) {
      if (Result<void> e = source.draw(rng, order); !e)
        return std::unexpected(std::move(e.error()));
      g.marginals(order, d_g);
      cheap.add(d_g);
    }
    cheap.finish(source.groups(), base, base_error);
  }
  WithinEstimate out;
  std::vector<double> mean, error;
  residual.finish(source.groups(), mean, error);
  out.values.resize(n);
  out.stderr_values.resize(n);
  for (std::size_t i = 0; i < n; ++i) {
    out.values[i] = base[i] + mean[i];
    out.stderr_values[i] = std::sqrt(error[i] * error[i] + base_error[i] * base_error[i]);
  }
  out.calls = plan.size();
  out.orders = plan.orders.size();
  return out;
}

template <class Oracle>
Result<WithinEstimate> run(const ExplainerState& state, Oracle& oracle,
                           const WithinOptions& options) {
  const std::size_t n = state.n_nodes();
  if (options.max_calls < n + 1) {
    return std::unexpected(AsvError::invalid_configuration(
        "explain_within needs max_calls \xe2\x89\xa5 n + 1 = " + std::to_string(n + 1) +
        " to walk one ordering"));
  }
  SampleRng rng = options.seed ? rng_from_seed(*options.seed) : rng_from_entropy();
  // The lattice's cost in time and memory follows the budget: up to
  // kIdealsPerCall ideals per call, but at least kMinCountedIdeals.
  const std::uint64_t ideal_limit = std::min(
      options.counted_ideal_limit,
      std::max(kMinCountedIdeals, options.max_calls > UINT64_MAX / kIdealsPerCall
                                      ? UINT64_MAX
                                      : options.max_calls * kIdealsPerCall));
  Result<OrderSource> source = OrderSource::make(state, ideal_limit, options.max_calls, rng);
  if (!source) return std::unexpected(std::move(source.error()));
  Result<Plan> plan = plan_orders(n, *source, rng, options.max_calls);
  if (!plan) return std::unexpected(std::move(plan.error()));
  Result<std::vector<double>> values =
      evaluate(plan->coalitions.sets, plan->coalitions.words, oracle, options.batch_size, options.progress);
  if (!values) return std::unexpected(std::move(values.error()));
  return combine(state.graph(), *plan, *values, *source, rng);
}

}  // namespace

Result<WithinEstimate> estimate_within(const ExplainerState& state, ValueOracle& oracle,
                                       const WithinOptions& options) {
  return run(state, oracle, options);
}

Result<WithinEstimate> estimate_within(const ExplainerState& state, BatchValueOracle& oracle,
                                       const WithinOptions& options) {
  return run(state, oracle, options);
}

}  // namespace morvend

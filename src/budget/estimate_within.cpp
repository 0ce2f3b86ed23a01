#include "budget/estimate_within.hpp"

#include <algorithm>
#include <cmath>
#include <string>

#include <boost/unordered/unordered_flat_map.hpp>

#include "asv/completion_count.hpp"
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

// OrderSource: uniform linear extensions of one graph, and what is known of
// them: exact precedence probabilities (graphs without edges, or whose ideals
// can be counted), or nothing (the chain; then the surrogate's values are
// averaged over many orders that cost no call).
class OrderSource {
 public:
  static Result<OrderSource> make(const ExplainerState& state, std::uint64_t ideal_limit,
                                  SampleRng& rng) {
    const Dag& g = state.graph();
    const std::size_t n = g.n_nodes();
    OrderSource s(state);
    if (g.n_edges() == 0) {
      s.precedence_.assign(n * n, 0.5);
      for (std::size_t i = 0; i < n; ++i) s.precedence_[i * n + i] = 0.0;
      s.mode_ = Mode::kPermutations;
      return s;
    }
    Result<std::optional<IdealLattice>> lattice =
        n <= kMaxSparseNodes ? build_lattice(g, ideal_limit, kIdealMemoryBudget)
                             : Result<std::optional<IdealLattice>>(std::nullopt);
    if (!lattice) return std::unexpected(std::move(lattice.error()));
    if (*lattice) {
      Result<std::vector<double>> p = morvend::precedence(**lattice);
      if (!p) return std::unexpected(std::move(p.error()));
      s.precedence_ = std::move(*p);
      s.mode_ = Mode::kCounts;
      return s;
    }
    s.chain_.emplace(g, rng);
    s.mode_ = Mode::kChain;
    return s;
  }

  // precedence: exact probabilities, or empty for the chain.
  const std::vector<double>& precedence() const { return precedence_; }
  // steps_per_order: the chain's steps between orders (1 for the others).
  std::uint64_t steps_per_order() const { return chain_ ? chain_->thinning() : 1; }
  // correlated: whether successive orders depend on each other (the chain).
  bool correlated() const { return mode_ == Mode::kChain; }

  // draw: the next order into `order`.
  Result<void> draw(SampleRng& rng, std::vector<NodeId>& order) {
    switch (mode_) {
      case Mode::kPermutations:
        (void)sample_order(state_.graph(), in_degree_, scratch_, rng);
        order = scratch_.order;
        return {};
      case Mode::kCounts: {
        Result<bool> drawn =
            sample_uniform_order(state_.n_nodes(), state_.parent_masks(), memo_, rng, order);
        if (!drawn) return std::unexpected(std::move(drawn.error()));
        return {};
      }
      case Mode::kChain:
        chain_->advance(rng, chain_->thinning());
        order.assign(chain_->order().begin(), chain_->order().end());
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
  CompletionMemo memo_;
  std::optional<ExtensionChain> chain_;
  std::vector<double> precedence_;
};

// MeanAndError: per node, the mean of a sequence of values and the standard
// error of that mean, from batch means when the sequence is correlated.
class MeanAndError {
 public:
  explicit MeanAndError(std::size_t n) : rows_(0), n_(n) {}
  void add(const std::vector<double>& row) {
    values_.insert(values_.end(), row.begin(), row.end());
    ++rows_;
  }
  void finish(bool correlated, std::vector<double>& mean, std::vector<double>& error) const {
    const std::size_t m = rows_;
    // Batches of consecutive rows: about sqrt(m) of them for a chain, one
    // row each otherwise.
    const std::size_t batches =
        correlated ? std::max<std::size_t>(2, static_cast<std::size_t>(std::sqrt(double(m)))) : m;
    mean.assign(n_, 0.0);
    error.assign(n_, 0.0);
    for (std::size_t i = 0; i < n_; ++i) {
      double total = 0.0;
      for (std::size_t r = 0; r < m; ++r) total += values_[r * n_ + i];
      mean[i] = total / double(m);
      if (m < 2 || batches < 2) continue;
      double ss = 0.0;
      for (std::size_t b = 0; b < batches; ++b) {
        const std::size_t first = b * m / batches, last = (b + 1) * m / batches;
        double batch = 0.0;
        for (std::size_t r = first; r < last; ++r) batch += values_[r * n_ + i];
        const double d = batch / double(last - first) - mean[i];
        ss += d * d * double(last - first);
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

// WordsHash: a keyed hash of a coalition's words.
struct WordsHash {
  std::size_t operator()(const std::vector<std::uint64_t>& set) const noexcept {
    std::uint64_t h = 0x9e3779b97f4a7c15ull;
    for (std::uint64_t w : set) h = (h ^ w) * 0xff51afd7ed558ccdull, h ^= h >> 32;
    return h;
  }
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

// The most terms a surrogate gets: pairs up to 64 nodes; beyond, its
// normal equations would cost more than the estimate is worth, so additive.
constexpr std::size_t kMaxSurrogateTerms = PairSurrogate::terms(64, true);

// combine: the surrogate's values plus the mean residual along the orders;
// standard errors from the residual's spread (and, on the chain, from the
// spread of the surrogate's values over the orders that cost no call).
Result<WithinEstimate> combine(std::size_t n, const Plan& plan, const std::vector<double>& values,
                               OrderSource& source, SampleRng& rng) {
  // Pair terms when the coalitions outnumber them twice.
  const std::size_t pair_terms = PairSurrogate::terms(n, true);
  const bool pairs = pair_terms <= kMaxSurrogateTerms && 2 * pair_terms <= plan.size();
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
  if (!source.precedence().empty()) {
    base = g.asv(source.precedence());
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
    cheap.finish(true, base, base_error);
  }
  WithinEstimate out;
  std::vector<double> mean, error;
  residual.finish(source.correlated(), mean, error);
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
  Result<OrderSource> source = OrderSource::make(state, options.counted_ideal_limit, rng);
  if (!source) return std::unexpected(std::move(source.error()));
  Result<Plan> plan = plan_orders(n, *source, rng, options.max_calls);
  if (!plan) return std::unexpected(std::move(plan.error()));
  Result<std::vector<double>> values =
      evaluate(plan->coalitions, oracle, options.batch_size, options.progress);
  if (!values) return std::unexpected(std::move(values.error()));
  return combine(n, *plan, *values, *source, rng);
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

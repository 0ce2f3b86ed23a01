#include "budget/estimate_within.hpp"

#include <cmath>
#include <string>

#include "asv/completion_count.hpp"
#include "budget/ideal_lattice.hpp"
#include "budget/precedence.hpp"
#include "budget/surrogate.hpp"
#include "graph/interrupt.hpp"
#include "graph/limits.hpp"
#include "sampler/sampler.hpp"

namespace morvend {
namespace {

// OrderSource: uniform linear extensions and the precedence probabilities of
// one graph.
class OrderSource {
 public:
  static Result<std::optional<OrderSource>> make(const ExplainerState& state) {
    const Dag& g = state.graph();
    const std::size_t n = g.n_nodes();
    OrderSource s(state);
    if (g.n_edges() == 0) {
      s.precedence_.assign(n * n, 0.5);
      for (std::size_t i = 0; i < n; ++i) s.precedence_[i * n + i] = 0.0;
      return std::optional<OrderSource>(std::move(s));
    }
    if (n > kMaxSparseNodes) return std::optional<OrderSource>();
    const std::uint64_t max_ideals = kIdealMemoryBudget / kBytesPerIdealEntry;
    Result<std::optional<IdealLattice>> lattice = build_lattice(g, max_ideals, kIdealMemoryBudget);
    if (!lattice) return std::unexpected(std::move(lattice.error()));
    if (!*lattice) return std::optional<OrderSource>();
    Result<std::vector<double>> p = morvend::precedence(**lattice);
    if (!p) return std::unexpected(std::move(p.error()));
    s.precedence_ = std::move(*p);
    s.uniform_ = true;
    return std::optional<OrderSource>(std::move(s));
  }

  const std::vector<double>& precedence() const { return precedence_; }

  // draw: the next order into `order`.
  Result<void> draw(SampleRng& rng, std::vector<NodeId>& order) {
    if (!uniform_) {  // no edges: every order equally likely
      (void)sample_order(state_.graph(), in_degree_, scratch_, rng);
      order = scratch_.order;
      return {};
    }
    Result<bool> drawn =
        sample_uniform_order(state_.n_nodes(), state_.parent_masks(), memo_, rng, order);
    if (!drawn) return std::unexpected(std::move(drawn.error()));
    return {};
  }

 private:
  explicit OrderSource(const ExplainerState& state)
      : state_(state), in_degree_(in_degrees(state.graph())), scratch_(state.n_nodes()) {}

  const ExplainerState& state_;
  std::vector<std::uint64_t> in_degree_;
  SamplerScratch scratch_;
  CompletionMemo memo_;
  std::vector<double> precedence_;
  bool uniform_ = false;
};

}  // namespace

Result<WithinEstimate> estimate_within(const ExplainerState& state, ValueOracle& oracle,
                                       const WithinOptions& options) {
  const std::size_t n = state.n_nodes();
  if (options.max_calls < n + 1) {
    return std::unexpected(AsvError::invalid_configuration(
        "explain_within needs max_calls \xe2\x89\xa5 n + 1 = " + std::to_string(n + 1) +
        " to walk one ordering"));
  }
  Result<std::optional<OrderSource>> made = OrderSource::make(state);
  if (!made) return std::unexpected(std::move(made.error()));
  if (!*made) {
    return std::unexpected(AsvError::invalid_configuration(
        "explain_within: no uniform ordering source fits this DAG yet"));
  }
  OrderSource& source = **made;
  SampleRng rng = options.seed ? rng_from_seed(*options.seed) : rng_from_entropy();

  // Walk orders while their new coalitions fit the budget.
  ValueCache cache;
  std::vector<std::uint64_t> masks;  // every coalition evaluated, in order
  std::vector<double> values;
  std::vector<std::vector<NodeId>> orders;
  std::vector<NodeId> order;
  std::vector<std::uint64_t> fresh;
  // Orders whose coalitions are all known cost no call; the cap ends the
  // walk when every ideal is known (a budget the exact path would take).
  while (orders.size() < options.max_calls) {
    if (Result<void> r = check_interrupt(); !r) return std::unexpected(std::move(r.error()));
    if (Result<void> r = source.draw(rng, order); !r) return std::unexpected(std::move(r.error()));
    fresh.clear();
    std::uint64_t mask = 0;
    if (!cache.contains(0)) fresh.push_back(0);
    for (NodeId x : order) {
      mask |= std::uint64_t{1} << x;
      if (!cache.contains(mask)) fresh.push_back(mask);
    }
    if (masks.size() + fresh.size() > options.max_calls) break;
    for (std::uint64_t s : fresh) {
      Result<double> v = oracle.value(Coalition(&s, 1));
      if (!v) return std::unexpected(std::move(v.error()));
      cache.emplace(s, *v);
      masks.push_back(s);
      values.push_back(*v);
    }
    orders.push_back(order);
  }

  // The surrogate, with pair terms when the coalitions outnumber them twice.
  const bool pairs = 2 * PairSurrogate::terms(n, true) <= masks.size();
  const PairSurrogate g = PairSurrogate::fit(n, masks, values, pairs);
  std::vector<double> base = g.asv(source.precedence());

  // The residual v - g along every order: its mean corrects the surrogate's
  // values, its spread is the standard error.
  std::vector<double> sum(n, 0.0), sum_sq(n, 0.0);
  for (const std::vector<NodeId>& o : orders) {
    std::uint64_t s = 0;
    double prev = cache.at(0) - g(0);
    for (NodeId x : o) {
      s |= std::uint64_t{1} << x;
      const double cur = cache.at(s) - g(s);
      const double d = cur - prev;
      sum[x] += d;
      sum_sq[x] += d * d;
      prev = cur;
    }
  }
  WithinEstimate out;
  const double m = static_cast<double>(orders.size());
  out.values.resize(n);
  out.stderr_values.resize(n);
  for (std::size_t i = 0; i < n; ++i) {
    const double mean = sum[i] / m;
    out.values[i] = base[i] + mean;
    const double var = m > 1 ? std::max(sum_sq[i] / m - mean * mean, 0.0) * m / (m - 1) : 0.0;
    out.stderr_values[i] = std::sqrt(var / m);
  }
  out.calls = masks.size();
  out.orders = orders.size();
  return out;
}

}  // namespace morvend

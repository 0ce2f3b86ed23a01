#include "budget/estimate_within.hpp"

#include <algorithm>
#include <cmath>
#include <string>

#include <boost/unordered/unordered_flat_map.hpp>

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

// Plan: the orders walked and the coalitions they need, each once, in the
// order they are first met.
struct Plan {
  std::vector<std::vector<NodeId>> orders;
  std::vector<std::uint64_t> masks;
  boost::unordered_flat_map<std::uint64_t, std::size_t> index;  // mask -> position in masks
};

// plan_orders: draws orders while their new coalitions fit the budget. Orders
// whose coalitions are all known cost no call; the cap on their number ends
// the walk when every ideal is known (a budget the exact path would take).
Result<Plan> plan_orders(OrderSource& source, SampleRng& rng, std::uint64_t max_calls) {
  Plan plan;
  std::vector<NodeId> order;
  std::vector<std::uint64_t> fresh;
  while (plan.orders.size() < max_calls) {
    if (Result<void> r = check_interrupt(); !r) return std::unexpected(std::move(r.error()));
    if (Result<void> r = source.draw(rng, order); !r) return std::unexpected(std::move(r.error()));
    fresh.clear();
    std::uint64_t mask = 0;
    if (!plan.index.contains(0)) fresh.push_back(0);
    for (NodeId x : order) {
      mask |= std::uint64_t{1} << x;
      if (!plan.index.contains(mask)) fresh.push_back(mask);
    }
    if (plan.masks.size() + fresh.size() > max_calls) break;
    for (std::uint64_t s : fresh) {
      plan.index.emplace(s, plan.masks.size());
      plan.masks.push_back(s);
    }
    plan.orders.push_back(order);
  }
  return plan;
}

Result<std::vector<double>> evaluate(const Plan& plan, ValueOracle& oracle, std::size_t) {
  std::vector<double> values(plan.masks.size());
  for (std::size_t k = 0; k < plan.masks.size(); ++k) {
    Result<double> v = oracle.value(Coalition(&plan.masks[k], 1));
    if (!v) return std::unexpected(std::move(v.error()));
    values[k] = *v;
  }
  return values;
}

Result<std::vector<double>> evaluate(const Plan& plan, BatchValueOracle& oracle,
                                     std::size_t batch_size) {
  const std::size_t chunk = std::max<std::size_t>(batch_size, 1);
  std::vector<double> values;
  values.reserve(plan.masks.size());
  for (std::size_t first = 0; first < plan.masks.size(); first += chunk) {
    if (Result<void> r = check_interrupt(); !r) return std::unexpected(std::move(r.error()));
    const std::size_t count = std::min(chunk, plan.masks.size() - first);
    Result<std::vector<double>> got =
        oracle.values(std::span<const std::uint64_t>(plan.masks).subspan(first, count), count);
    if (!got) return std::unexpected(std::move(got.error()));
    if (got->size() != count) return std::unexpected(batch_length_error(got->size(), count));
    values.insert(values.end(), got->begin(), got->end());
  }
  return values;
}

// combine: the surrogate's exact values plus the mean residual along the
// orders, and the standard errors from the residual's spread.
WithinEstimate combine(std::size_t n, const Plan& plan, const std::vector<double>& values,
                       const std::vector<double>& precedence) {
  // Pair terms when the coalitions outnumber them twice.
  const bool pairs = 2 * PairSurrogate::terms(n, true) <= plan.masks.size();
  const PairSurrogate g = PairSurrogate::fit(n, plan.masks, values, pairs);
  const std::vector<double> base = g.asv(precedence);
  auto residual = [&](std::uint64_t s) { return values[plan.index.at(s)] - g(s); };
  std::vector<double> sum(n, 0.0), sum_sq(n, 0.0);
  for (const std::vector<NodeId>& o : plan.orders) {
    std::uint64_t s = 0;
    double prev = residual(0);
    for (NodeId x : o) {
      s |= std::uint64_t{1} << x;
      const double cur = residual(s);
      const double d = cur - prev;
      sum[x] += d;
      sum_sq[x] += d * d;
      prev = cur;
    }
  }
  WithinEstimate out;
  const double m = static_cast<double>(plan.orders.size());
  out.values.resize(n);
  out.stderr_values.resize(n);
  for (std::size_t i = 0; i < n; ++i) {
    const double mean = sum[i] / m;
    out.values[i] = base[i] + mean;
    const double var = m > 1 ? std::max(sum_sq[i] / m - mean * mean, 0.0) * m / (m - 1) : 0.0;
    out.stderr_values[i] = std::sqrt(var / m);
  }
  out.calls = plan.masks.size();
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
  Result<std::optional<OrderSource>> made = OrderSource::make(state);
  if (!made) return std::unexpected(std::move(made.error()));
  if (!*made) {
    return std::unexpected(AsvError::invalid_configuration(
        "explain_within: no uniform ordering source fits this DAG yet"));
  }
  SampleRng rng = options.seed ? rng_from_seed(*options.seed) : rng_from_entropy();
  Result<Plan> plan = plan_orders(**made, rng, options.max_calls);
  if (!plan) return std::unexpected(std::move(plan.error()));
  Result<std::vector<double>> values = evaluate(*plan, oracle, options.batch_size);
  if (!values) return std::unexpected(std::move(values.error()));
  return combine(n, *plan, *values, (*made)->precedence());
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

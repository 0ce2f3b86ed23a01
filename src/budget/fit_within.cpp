#include "budget/fit_within.hpp"

#include <algorithm>
#include <limits>

#include "budget/evaluate.hpp"
#include "budget/sparse_fit.hpp"
#include "coalition/coalition.hpp"
#include "graph/interrupt.hpp"
#include "graph/limits.hpp"

namespace morvend {
namespace {

// draw_prefixes: distinct coalitions, each the first k nodes of a uniform
// ordering with k uniform in 1..n-1, after the empty and the full one, until
// the budget is reached (or kSparseFitDrawsPerCall draws per call found no more).
Result<void> draw_prefixes(std::size_t n, std::uint64_t max_calls, OrderSource& source,
                           SampleRng& rng, CoalitionIndex& rows) {
  std::vector<std::uint64_t> s(words_for(n), 0);
  rows.insert(s);
  for (NodeId i = 0; i < n; ++i) add_member(s, i);
  rows.insert(s);
  std::vector<NodeId> order;
  for (std::uint64_t d = 0; rows.size() < max_calls && d < kSparseFitDrawsPerCall * max_calls; ++d) {
    if (Result<void> r = check_interrupt(); !r) return r;
    if (Result<void> r = source.draw(rng, order); !r) return r;
    const std::size_t k = 1 + draw_below(rng, n - 1);
    std::ranges::fill(s, 0);
    for (std::size_t t = 0; t < k; ++t) add_member(s, order[t]);
    rows.insert(s);
  }
  return {};
}

// surrogate_asv: the surrogate's ASV, each product's coefficient to the
// member that comes last: for a pair whose precedence the source counts,
// exactly; for the others, over kFitFreeOrdersPerRow orderings per row
// drawn without calls, within the work the calls allow.
Result<std::vector<double>> surrogate_asv(const SparseSurrogate& s, std::size_t rows,
                                          OrderSource& source, SampleRng& rng) {
  const std::size_t n = source.n_nodes();
  std::vector<double> out = s.additive;
  std::vector<NodePair> pairs;
  std::vector<std::size_t> counted, sampled;  // product indices
  for (std::size_t k = 0; k < s.products.size(); ++k) {
    const Product& p = s.products[k];
    const NodePair pair{p.nodes[0], p.nodes[1]};
    if (p.size == 2 && source.exact_pair(pair)) {
      pairs.push_back(pair);
      counted.push_back(k);
    } else {
      sampled.push_back(k);
    }
  }
  if (!pairs.empty()) {
    Result<std::vector<double>> first = source.first_before(pairs);
    if (!first) return std::unexpected(std::move(first.error()));
    for (std::size_t q = 0; q < counted.size(); ++q) {
      const double b = s.coef[counted[q]];
      out[pairs[q].second] += b * (*first)[q];
      out[pairs[q].first] += b * (1.0 - (*first)[q]);
    }
  }
  if (sampled.empty()) return out;
  const double per_draw = double(n) * (double(kChainThinningSweeps) + 2.0) + 3.0 * double(sampled.size());
  const std::uint64_t draws = std::min<std::uint64_t>(
      std::max<std::uint64_t>(kMinFreeOrders, kFitFreeOrdersPerRow * rows),
      static_cast<std::uint64_t>((kFitFreeOrderWorkBase + kFitFreeOrderWorkPerCall * double(rows)) / per_draw) + 1);
  std::vector<double> credit(n, 0.0);
  std::vector<NodeId> order;
  std::vector<std::size_t> position(n);
  for (std::uint64_t d = 0; d < draws; ++d) {
    if (Result<void> r = source.draw(rng, order); !r) return std::unexpected(std::move(r.error()));
    for (std::size_t t = 0; t < n; ++t) position[order[t]] = t;
    for (std::size_t k : sampled) {
      const Product& p = s.products[k];
      NodeId last = p.nodes[0];
      for (std::size_t m = 1; m < p.size; ++m) {
        if (position[p.nodes[m]] > position[last]) last = p.nodes[m];
      }
      credit[last] += s.coef[k];
    }
  }
  for (std::size_t i = 0; i < n; ++i) out[i] += credit[i] / double(draws);
  return out;
}

template <class Oracle>
Result<std::optional<WithinEstimate>> run(const Dag& dag, Oracle& oracle, const WithinOptions& options,
                                          OrderSource& source, SampleRng& rng) {
  const std::size_t n = dag.n_nodes();
  if (!fits_budget(n, options.max_calls)) return std::nullopt;
  CoalitionIndex rows(words_for(n));
  if (Result<void> r = draw_prefixes(n, options.max_calls, source, rng, rows); !r) {
    return std::unexpected(std::move(r.error()));
  }
  Result<std::vector<double>> values =
      evaluate(rows.sets().all(), rows.sets().width(), oracle, options.batch_size, options.progress);
  if (!values) return std::unexpected(std::move(values.error()));
  // The fit's candidate pairs: as many as one round of its screen can read
  // within a twentieth of its work.
  const double work = fit_work_budget(options.max_calls);
  const double per_pair = double(rows.size()) / 64.0 + double(rows.size()) / 3.0;
  const auto limit = static_cast<std::size_t>(std::min(work / 20.0 / per_pair, double(kMaxScreenedPairs)));
  const std::vector<NodePair> pairs = incomparable_pairs(dag, limit);
  Result<SparseSurrogate> s = fit_sparse_surrogate({.n = n,
                                                    .words = rows.sets().width(),
                                                    .sets = rows.sets().all(),
                                                    .values = *values,
                                                    .pairs = pairs,
                                                    .total = (*values)[1] - (*values)[0],
                                                    .work = work});
  if (!s) return std::unexpected(std::move(s.error()));
  Result<std::vector<double>> phi = surrogate_asv(*s, rows.size(), source, rng);
  if (!phi) return std::unexpected(std::move(phi.error()));
  WithinEstimate out;
  out.values = std::move(*phi);
  out.stderr_values.assign(n, std::numeric_limits<double>::quiet_NaN());
  out.calls = rows.size();
  out.orders = rows.size();
  return out;
}

}  // namespace

bool fits_budget(std::size_t n, std::uint64_t max_calls) {
  return n >= 2 && max_calls < kMinReplicates * (n + 1) &&
         sparse_fit_work(n, max_calls) <= fit_work_budget(max_calls) / 2.0;
}

Result<std::optional<WithinEstimate>> estimate_by_fit(const Dag& dag, ValueOracle& oracle,
                                                      const WithinOptions& options, OrderSource& source,
                                                      SampleRng& rng) {
  return run(dag, oracle, options, source, rng);
}

Result<std::optional<WithinEstimate>> estimate_by_fit(const Dag& dag, BatchValueOracle& oracle,
                                                      const WithinOptions& options, OrderSource& source,
                                                      SampleRng& rng) {
  return run(dag, oracle, options, source, rng);
}

}  // namespace morvend

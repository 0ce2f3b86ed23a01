#include "budget/within.hpp"

#include <string>

#include "budget/estimate_within.hpp"
#include "budget/exact_within.hpp"
#include "budget/fit_within.hpp"
#include "asv/ideal_lattice.hpp"
#include "asv/refusals.hpp"
#include "budget/paired_strata.hpp"
#include "graph/limits.hpp"
#include "graph/method_names.hpp"

namespace morvend {
namespace {

Result<std::vector<double>> exact(const IdealLattice& l, ValueOracle& oracle,
                                  const WithinOptions& options) {
  return exact_over_ideals(l, oracle, options.progress);
}
Result<std::vector<double>> exact(const IdealLattice& l, BatchValueOracle& oracle,
                                  const WithinOptions& options) {
  return exact_over_ideals(l, oracle, options.batch_size, options.progress);
}

// exact_result: the exact path's result over `lattice`.
template <class Oracle>
Result<WithinResult> exact_result(const IdealLattice& lattice, Oracle& oracle,
                                  const WithinOptions& options) {
  Result<std::vector<double>> values = exact(lattice, oracle, options);
  if (!values) return std::unexpected(std::move(values.error()));
  const std::uint64_t ideals = lattice.size();
  WithinResult out;
  out.result = AsvResult::exact(std::move(*values), ideals);
  out.result.stderr_values = std::vector<double>(lattice.n_nodes, 0.0);
  out.result.n_order_ideals = ideals;
  out.result.selected_method = method_name::kExactIdeals;
  out.calls = ideals;
  return out;
}

template <class Oracle>
Result<WithinResult> run(const ExplainerState& state, Oracle& oracle,
                         const WithinOptions& options) {
  const Dag& g = state.graph();
  if (Result<void> r = g.validate(); !r) return std::unexpected(r.error());
  const std::size_t n = g.n_nodes();
  // Every DAG has at least n + 1 ideals: no budget below that is exact.
  if (Result<void> r = covers_one_order(n, options.max_calls); !r) return std::unexpected(r.error());
  SampleRng rng = options.seed ? rng_from_seed(*options.seed) : rng_from_entropy();
  Result<OrderSource> source =
      OrderSource::make(g, order_source_limits(n, options), rng);
  if (!source) return std::unexpected(std::move(source.error()));
  // Exact when the ideals fit: those of the one component counted already,
  // else a lattice of the whole graph, bounded by the budget.
  if (source->product_of_ideals() <= double(options.max_calls)) {
    std::optional<IdealLattice> lattice = source->take_lattice_of_whole();
    if (!lattice) {
      Result<std::optional<IdealLattice>> whole = build_lattice(g, options.max_calls, kWithinLatticeBytes);
      if (!whole) return std::unexpected(std::move(whole.error()));
      lattice = std::move(*whole);
    }
    if (lattice) return exact_result(*lattice, oracle, options);
  }
  // Without edges every ordering counts: coalitions in complementary pairs,
  // unless the budget is too small to stratify. Then, too few orders to
  // average: a surrogate fitted to prefixes; else the orders walked.
  const char* method = method_name::kPairedStrata;
  Result<std::optional<WithinEstimate>> e =
      g.n_edges() == 0 ? estimate_paired_strata(n, oracle, options)
                       : Result<std::optional<WithinEstimate>>(std::nullopt);
  if (e && !*e) {
    method = method_name::kSurrogateFit;
    e = estimate_by_fit(g, oracle, options, *source, rng);
  }
  if (e && !*e) {
    method = method_name::kSurrogateResidual;
    Result<WithinEstimate> walked = estimate_within(state, oracle, options, *source, rng);
    if (!walked) return std::unexpected(std::move(walked.error()));
    e = std::optional<WithinEstimate>(std::move(*walked));
  }
  if (!e) return std::unexpected(std::move(e.error()));
  WithinResult out;
  out.result.values = std::move((*e)->values);
  out.result.stderr_values = std::move((*e)->stderr_values);
  out.result.n_samples = (*e)->orders;
  out.result.seed = options.seed;
  out.result.selected_method = method;
  out.result.is_exact = (*e)->exact;
  out.calls = (*e)->calls;
  return out;
}

}  // namespace

Result<void> check_within(std::uint64_t max_calls, std::uint64_t batch_size,
                          const std::optional<double>& ci) {
  if (Result<void> r = check_positive(max_calls, "max_calls"); !r) return r;
  if (Result<void> r = check_positive(batch_size, "batch_size"); !r) return r;
  return check_ci_level(ci);
}

Result<WithinResult> explain_within(const ExplainerState& state, ValueOracle& oracle,
                                    const WithinOptions& options) {
  return run(state, oracle, options);
}

Result<WithinResult> explain_within(const ExplainerState& state, BatchValueOracle& oracle,
                                    const WithinOptions& options) {
  return run(state, oracle, options);
}

}  // namespace morvend

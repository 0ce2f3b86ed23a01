#include "budget/within.hpp"

#include "budget/exact_within.hpp"
#include "budget/ideal_lattice.hpp"
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

template <class Oracle>
Result<WithinResult> run(const ExplainerState& state, Oracle& oracle,
                         const WithinOptions& options) {
  if (Result<void> r = state.graph().validate(); !r) return std::unexpected(r.error());
  Result<std::optional<IdealLattice>> lattice =
      build_lattice(state.graph(), options.max_calls, kIdealMemoryBudget);
  if (!lattice) return std::unexpected(std::move(lattice.error()));
  WithinResult out;
  if (*lattice) {
    Result<std::vector<double>> values = exact(**lattice, oracle, options);
    if (!values) return std::unexpected(std::move(values.error()));
    const std::uint64_t ideals = (*lattice)->size();
    out.result = AsvResult::exact(std::move(*values), ideals);
    out.result.stderr_values = std::vector<double>(state.n_nodes(), 0.0);
    out.result.n_order_ideals = ideals;
    out.result.selected_method = method_name::kExactIdeals;
    out.calls = ideals;
    return out;
  }
  // Without edges every ordering counts: coalitions in complementary pairs,
  // unless the budget is too small to stratify.
  const char* method = method_name::kPairedStrata;
  Result<std::optional<WithinEstimate>> e =
      state.graph().n_edges() == 0
          ? estimate_paired_strata(state.n_nodes(), oracle, options)
          : Result<std::optional<WithinEstimate>>(std::nullopt);
  if (e && !*e) {
    method = method_name::kSurrogateResidual;
    Result<WithinEstimate> walked = estimate_within(state, oracle, options);
    if (!walked) return std::unexpected(std::move(walked.error()));
    e = std::optional<WithinEstimate>(std::move(*walked));
  }
  if (!e) return std::unexpected(std::move(e.error()));
  out.result.values = std::move((*e)->values);
  out.result.stderr_values = std::move((*e)->stderr_values);
  out.result.n_samples = (*e)->orders;
  out.result.seed = options.seed;
  out.result.selected_method = method;
  out.calls = (*e)->calls;
  return out;
}

}  // namespace

Result<WithinResult> explain_within(const ExplainerState& state, ValueOracle& oracle,
                                    const WithinOptions& options) {
  return run(state, oracle, options);
}

Result<WithinResult> explain_within(const ExplainerState& state, BatchValueOracle& oracle,
                                    const WithinOptions& options) {
  return run(state, oracle, options);
}

}  // namespace morvend

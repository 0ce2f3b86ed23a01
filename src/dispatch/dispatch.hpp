// The method table: the seven method names, the checks each method entry
// makes before its engine starts, and dispatch to the engines and policies.
//
//   std::optional<Method> m = parse_method("exact_dag_sparse");
//   Result<AsvResult> r = dispatch_method(state, *m, oracle, options);
#pragma once

#include <optional>
#include <string_view>

#include "asv/explainer_state.hpp"
#include "asv/records.hpp"
#include "asv/value_oracle.hpp"

namespace morvend {

enum class Method {
  kAuto,
  kExact,
  kApprox,
  kExactDag,
  kExactTree,
  kUniformSparse,
  kExactDagSparse,
};

// parse_method: exact, case-sensitive match of the seven names.
std::optional<Method> parse_method(std::string_view name);
// method_named: parse_method, or InvalidConfiguration whose detail names
// the unknown method and lists the seven.
[[nodiscard]] Result<Method> method_named(std::string_view name);
// check_batch_method: the batch form runs "auto" and "approx" only;
// InvalidConfiguration for any other name.
[[nodiscard]] Result<void> check_batch_method(std::string_view name);

// dispatch_method: runs the method entry (its checks, then its engine) and
// returns the engine's record unchanged.
[[nodiscard]] Result<AsvResult> dispatch_method(const ExplainerState& state, Method method,
                                                ValueOracle& oracle,
                                                const SamplingOptions& options);

// dispatch_batch: the batch entry for "auto" and "approx" (the caller has
// refused every other name): validate, then the batched estimator. No policy
// runs and no method is recorded.
[[nodiscard]] Result<AsvResult> dispatch_batch(const ExplainerState& state,
                                               BatchValueOracle& oracle,
                                               const SamplingOptions& options);

// The estimators of explain_adaptive, by the names "approx" and
// "uniform_sparse".
enum class AdaptiveMethod { kApprox, kUniformSparse };

// adaptive_method_named: InvalidConfiguration for any other name.
[[nodiscard]] Result<AdaptiveMethod> adaptive_method_named(std::string_view name);
// adaptive_method_name: the name a run reports ("approx_adaptive",
// "uniform_sparse_adaptive").
const char* adaptive_method_name(AdaptiveMethod method);

// dispatch_adaptive: the uniform estimator's node limit first, then
// validation, then the estimator.
[[nodiscard]] Result<AsvResult> dispatch_adaptive(const ExplainerState& state,
                                                  AdaptiveMethod method, ValueOracle& oracle,
                                                  const AdaptiveOptions& options);
// dispatch_adaptive_batch: validate, then the batched importance-sampling
// estimator.
[[nodiscard]] Result<AsvResult> dispatch_adaptive_batch(const ExplainerState& state,
                                                        BatchValueOracle& oracle,
                                                        const AdaptiveOptions& options);

// exact_tree_method: validate, the rooted-tree test, the feasibility budgets
// (TreeBudgetExceeded when over), then the tree engine.
[[nodiscard]] Result<AsvResult> exact_tree_method(const ExplainerState& state, ValueOracle& oracle);

}  // namespace morvend

#include "dispatch/dispatch.hpp"

#include <algorithm>
#include <cmath>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "approx/approx.hpp"
#include "common/engines.hpp"
#include "common/graphs.hpp"
#include "common/interrupts.hpp"
#include "common/oracles.hpp"
#include "common/result_matchers.hpp"
#include "dispatch/policy.hpp"
#include "graph/limits.hpp"
#include "graph/method_names.hpp"

namespace morvend {
namespace {

using ::testing::HasSubstr;
using testing::chain;
using testing::FailsWith;
using testing::IsOk;
using Kind = AsvError::Kind;
using testing::make_dag;
using testing::RecordingOracle;
using testing::SharedOracle;
using testing::state_of;
using testing::TripSource;

// Catches any engine whose values differ from the definition.
TEST(ExactEngines, AgreeWithBruteForceOnRandomDags) {
  for (const auto& engine : testing::exact_engines()) {
    for (std::uint64_t seed = 0; seed < 25; ++seed) {
      const std::size_t n = 1 + seed % 8;
      Dag g = engine.trees_only ? testing::random_tree(n, seed)
                                : testing::random_dag(n, 0.1 + 0.05 * (seed % 7), seed);
      auto game = testing::random_game(seed);
      RecordingOracle oracle(game);
      Result<AsvResult> r = engine.run(state_of(g), oracle);
      ASSERT_THAT(r, IsOk()) << engine.name;
      EXPECT_LT(testing::max_relative_error(r->values, testing::brute_force_asv(g, game)), 1e-9)
          << engine.name << " seed " << seed;
      EXPECT_TRUE(r->is_exact);
      EXPECT_FALSE(r->seed || r->ess || r->stderr_values || r->converged || r->selected_method);
      // One call per order ideal: the cache (or table) asks each coalition once.
      auto calls = oracle.calls();
      std::sort(calls.begin(), calls.end());
      EXPECT_EQ(calls, testing::order_ideals(g)) << engine.name << " seed " << seed;
    }
  }
}

// Catches values that do not telescope to v(all) - v(empty).
TEST(ExactEngines, ValuesSumToTheGrandCoalition) {
  Dag g = testing::random_tree(12, 3);
  auto game = testing::random_game(11);
  for (const auto& engine : testing::exact_engines()) {
    RecordingOracle oracle(game);
    Result<AsvResult> r = engine.run(state_of(g), oracle);
    ASSERT_THAT(r, IsOk()) << engine.name;
    double sum = 0.0;
    for (double v : r->values) sum += v;
    EXPECT_NEAR(sum, game((1u << 12) - 1) - game(0), 1e-9) << engine.name;
  }
}

// Catches a failure that is swallowed or that leaves partial values.
TEST(ExactEngines, ValueFunctionErrorStopsAtOnce) {
  Dag g = testing::random_dag(6, 0.3, 4);
  for (const auto& engine : testing::exact_engines()) {
    if (engine.trees_only) continue;
    RecordingOracle oracle(testing::random_game(1), /*fail_at=*/2);
    Result<AsvResult> r = engine.run(state_of(g), oracle);
    EXPECT_THAT(r, FailsWith(Kind::kValueFunction, "value function error: RuntimeError: boom"))
        << engine.name;
    EXPECT_EQ(oracle.calls().size(), 3u) << engine.name;
  }
}

// Catches a computation that does not look for an interruption often (or at
// all): each run below takes seconds; told to stop at its first check, it must
// return Interrupted well within a user's patience, having asked.
TEST(Interrupts, EveryMethodStopsSoonAfterItIsAsked) {
  // 40 nodes: a chain of 10 with three branches of 10 hanging off its start.
  std::vector<std::pair<NodeId, NodeId>> edges;
  for (NodeId i = 0; i < 40; ++i) {
    if (i % 10 != 0) edges.emplace_back(i - 1, i);
  }
  for (NodeId b : {10, 20, 30}) edges.emplace_back(0, b);
  const ExplainerState branches = state_of(make_dag(40, edges));
  std::vector<std::pair<NodeId, NodeId>> two_chains;
  for (NodeId i = 1; i < 31; ++i) two_chains.emplace_back(i - 1, i);
  for (NodeId i = 32; i < 62; ++i) two_chains.emplace_back(i - 1, i);
  const ExplainerState chains = state_of(make_dag(62, two_chains));
  const SamplingOptions many{.n_samples = 100'000'000, .seed = 1};
  const SamplingOptions unseeded{.n_samples = 100'000'000};
  const SamplingOptions parallel{.n_samples = 100'000'000, .seed = 1, .parallel = true};
  const AdaptiveOptions endless{.max_samples = 100'000'000, .rel_tol = 0.0, .seed = 1};
  struct Run {
    const char* name;
    std::function<Result<AsvResult>(ValueOracle&)> run;
  };
  const std::vector<Run> runs = {
      {"exact",
       [](auto& o) { return dispatch_method(state_of(make_dag(10, {})), Method::kExact, o, {}); }},
      {"exact_dag",
       [](auto& o) {
         return dispatch_method(state_of(make_dag(20, {})), Method::kExactDag, o, {});
       }},
      {"exact_dag_sparse",
       [](auto& o) {
         return dispatch_method(state_of(make_dag(26, {})), Method::kExactDagSparse, o, {});
       }},
      {"auto",
       [](auto& o) { return dispatch_method(state_of(make_dag(28, {})), Method::kAuto, o, {}); }},
      {"uniform_sparse",
       [&](auto& o) { return dispatch_method(chains, Method::kUniformSparse, o, many); }},
      {"approx serial",
       [&](auto& o) { return dispatch_method(branches, Method::kApprox, o, many); }},
      {"approx unseeded",
       [&](auto& o) { return dispatch_method(branches, Method::kApprox, o, unseeded); }},
      {"approx parallel",
       [&](auto& o) { return dispatch_method(branches, Method::kApprox, o, parallel); }},
      {"approx large", [&](auto& o) { return approximate(state_of(make_dag(100, {})), o, many); }},
      {"adaptive", [&](auto& o) { return approximate_adaptive(branches, o, endless); }},
      {"uniform adaptive",
       [&](auto& o) {
         return approximate_uniform_sparse_adaptive(chains, o, endless, chains.parent_masks(),
                                                    kIdealMemoryBudget);
       }},
  };
  for (const Run& run : runs) {
    SharedOracle oracle([](Coalition c) { return double(__builtin_popcountll(c[0])); });
    TripSource trip;
    InterruptScope scope(trip);
    Result<AsvResult> r = run.run(oracle);
    ASSERT_THAT(r, FailsWith(Kind::kInterrupted)) << run.name;
    EXPECT_GE(trip.asks(), 1) << run.name;
    // The requirement is 0.2 s from the signal; sanitizer builds are slower.
    EXPECT_LT(trip.seconds_since_trip().value_or(99.0), 0.2) << run.name;
  }
}

// Catches an interruption that reaches only the thread that started the run:
// a stop flag of an enclosing run stops pool runs nested in it, before any
// value is asked for.
TEST(Interrupts, EnclosingRunStopsNestedRuns) {
  std::atomic<bool> stopped{true};
  InterruptScope outer(stopped, nullptr);
  for (const SamplingOptions& o : {SamplingOptions{.n_samples = 1000},
                                   SamplingOptions{.n_samples = 1000, .seed = 1, .parallel = true},
                                   SamplingOptions{.n_samples = 1000, .seed = 1}}) {
    SharedOracle oracle([](Coalition) { return 1.0; });
    Result<AsvResult> r = approximate(state_of(make_dag(12, {})), oracle, o);
    ASSERT_THAT(r, FailsWith(Kind::kInterrupted));
    EXPECT_EQ(oracle.calls(), 0u);
  }
}
// Catches explain_quality_batch switching to importance sampling at the wrong
// node count, a run that does not say which estimator ran, and options that
// reach no check.
TEST(SelectQualityBatch, UniformUpTo63NodesImportanceSampledBeyond) {
  const AdaptiveOptions options{.min_samples = 10, .max_samples = 20, .batch_size = 10, .seed = 3};
  const struct {
    std::size_t n;
    const char* method;
  } cases[] = {{5, method_name::kUniformSparseAdaptiveBatch},
               {63, method_name::kUniformSparseAdaptiveBatch},
               {64, method_name::kApproxAdaptiveBatch},
               {70, method_name::kApproxAdaptiveBatch}};
  for (const auto& c : cases) {
    const std::vector<double> weights(c.n, 1.0);
    testing::RecordingBatchOracle oracle(testing::additive_word_game(weights));
    Result<AsvResult> r = select_quality_batch(state_of(chain(c.n)), oracle, options);
    ASSERT_THAT(r, IsOk()) << c.n;
    EXPECT_EQ(r->selected_method, c.method) << c.n;
    EXPECT_FALSE(r->is_exact);
    EXPECT_EQ(r->seed, 3u);
    // An additive game credits each node its own weight under any order.
    EXPECT_LT(testing::max_relative_error(r->values, weights), 1e-12) << c.n;
  }
  testing::RecordingBatchOracle oracle(testing::additive_word_game({1.0, 2.0}));
  EXPECT_THAT(select_quality_batch(state_of(chain(2)), oracle, {.batch_size = 0}),
              FailsWith(Kind::kInvalidConfiguration, HasSubstr("batch_size must be > 0")));
}

// Catches a method name accepted by the wrong entry, or a refusal whose text
// (which users read without the error's prefix) changed.
TEST(MethodNames, EachEntryAcceptsItsOwnNames) {
  EXPECT_THAT(method_named("exact_dag_sparse"), IsOk());
  EXPECT_THAT(method_named("approx_adaptive"),
              FailsWith(Kind::kInvalidConfiguration,
                        HasSubstr("unknown method 'approx_adaptive': use 'auto', 'approx', "
                                  "'exact', 'exact_tree', 'exact_dag', 'exact_dag_sparse', or "
                                  "'uniform_sparse'")));
  EXPECT_THAT(check_batch_method("auto"), IsOk());
  EXPECT_THAT(check_batch_method("approx"), IsOk());
  EXPECT_THAT(check_batch_method("exact"),
              FailsWith(Kind::kInvalidConfiguration,
                        HasSubstr("value_fn_batch is only supported for method='approx' or "
                                  "'auto'")));
  EXPECT_STREQ(adaptive_method_name(*adaptive_method_named("approx")), method_name::kApproxAdaptive);
  EXPECT_STREQ(adaptive_method_name(*adaptive_method_named("uniform_sparse")),
              method_name::kUniformSparseAdaptive);
  EXPECT_THAT(adaptive_method_named("auto"),
              FailsWith(Kind::kInvalidConfiguration,
                        HasSubstr("unknown method 'auto' for explain_adaptive: use 'approx' or "
                                  "'uniform_sparse'")));
}

// Catches the uniform estimator's node limit checked after other refusals,
// or the wrong estimator run for a name.
TEST(DispatchAdaptive, UniformLimitFirstThenTheNamedEstimator) {
  const AdaptiveOptions options{.min_samples = 10, .max_samples = 20, .batch_size = 10, .seed = 3};
  testing::RecordingOracle oracle(testing::additive_game({1.0, 2.0, 3.0}));
  EXPECT_THAT(dispatch_adaptive(state_of(chain(70)), AdaptiveMethod::kUniformSparse, oracle,
                                {.batch_size = 0}),
              FailsWith(Kind::kInvalidConfiguration, HasSubstr("requires n ≤ 63, got 70")));
  const ExplainerState state = state_of(make_dag(5, {{0, 1}, {0, 2}, {3, 4}}));
  testing::RecordingOracle game(testing::random_game(7));
  Result<AsvResult> is = approximate_adaptive(state, game, options);
  Result<AsvResult> uniform = approximate_uniform_sparse_adaptive(
      state, game, options, state.parent_masks(), kIdealMemoryBudget);
  ASSERT_THAT(is, IsOk());
  ASSERT_THAT(uniform, IsOk());
  ASSERT_NE(is->values, uniform->values);  // else the case tells them apart by nothing
  for (AdaptiveMethod m : {AdaptiveMethod::kApprox, AdaptiveMethod::kUniformSparse}) {
    Result<AsvResult> r = dispatch_adaptive(state, m, game, options);
    ASSERT_THAT(r, IsOk());
    EXPECT_EQ(r->values, (m == AdaptiveMethod::kApprox ? is : uniform)->values);
  }
  testing::RecordingBatchOracle batch(testing::additive_word_game({1.0, 2.0}));
  EXPECT_THAT(dispatch_adaptive_batch(state_of(chain(2)), batch, options), IsOk());
}

}  // namespace
}  // namespace morvend

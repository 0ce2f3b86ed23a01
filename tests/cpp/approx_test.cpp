#include "approx/approx.hpp"

#include <cmath>
#include <functional>
#include <numeric>
#include <set>

#include <future>
#include <mutex>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <oneapi/tbb/global_control.h>
#include <oneapi/tbb/task_arena.h>

#include "common/engines.hpp"
#include "common/graphs.hpp"
#include "common/oracles.hpp"
#include "common/result_matchers.hpp"
#include "estimation/pool.hpp"
#include "estimation/shared_cache.hpp"

namespace morvend {
namespace {

using testing::additive_word_game;
using testing::chain;
using ::testing::Not;
using testing::FailsWith;
using testing::IsOk;
using Kind = AsvError::Kind;
using testing::make_dag;
using testing::on_words;
using testing::RecordingBatchOracle;
using testing::SharedOracle;
using testing::state_of;
using testing::WordGame;
using testing::WordsOracle;

constexpr std::uint64_t kBudget = kIdealMemoryBudget;

// Powers of two: every coalition value is exact, so an additive game gives
// each node's weight back exactly, whatever the orders and weights.
std::vector<double> power_weights(std::size_t n) {
  std::vector<double> w(n);
  for (std::size_t i = 0; i < n; ++i) w[i] = std::ldexp(i % 2 ? -1.0 : 1.0, int(i % 9) - 3);
  return w;
}

struct Estimator {
  std::string name;
  std::function<Result<AsvResult>(const ExplainerState&, const WordGame&)> run;
};

// Every estimator, drawing `n` samples with seed 7 (the unseeded pool mode
// without one).
std::vector<Estimator> estimators(std::uint64_t n) {
  const SamplingOptions serial{.n_samples = n, .seed = 7};
  const SamplingOptions parallel{.n_samples = n, .seed = 7, .num_threads = 3, .parallel = true};
  const SamplingOptions unseeded{.n_samples = n};
  const SamplingOptions batched{.n_samples = n, .seed = 7, .batch_size = 100};
  const AdaptiveOptions fixed{.min_samples = n, .max_samples = n, .batch_size = 250, .seed = 7};
  auto single = [](auto f) {
    return [f](const ExplainerState& s, const WordGame& g) {
      SharedOracle oracle(g);
      return f(s, oracle);
    };
  };
  auto batch = [](auto f) {
    return [f](const ExplainerState& s, const WordGame& g) {
      RecordingBatchOracle oracle(g);
      return f(s, oracle);
    };
  };
  return {
      {"serial", single([=](auto& s, auto& o) { return approximate(s, o, serial); })},
      {"seeded parallel", single([=](auto& s, auto& o) { return approximate(s, o, parallel); })},
      {"unseeded pool", single([=](auto& s, auto& o) { return approximate(s, o, unseeded); })},
      {"batched", batch([=](auto& s, auto& o) { return approximate_batched(s, o, batched); })},
      {"adaptive", single([=](auto& s, auto& o) { return approximate_adaptive(s, o, fixed); })},
      {"adaptive batched",
       batch([=](auto& s, auto& o) { return approximate_adaptive_batched(s, o, fixed); })},
      {"uniform", single([=](auto& s, auto& o) {
         return approximate_uniform_sparse(s, o, serial, s.parent_masks(), kBudget);
       })},
      {"uniform adaptive", single([=](auto& s, auto& o) {
         return approximate_uniform_sparse_adaptive(s, o, fixed, s.parent_masks(), kBudget);
       })},
      {"uniform adaptive batched", batch([=](auto& s, auto& o) {
         return approximate_uniform_sparse_adaptive_batched(s, o, fixed, s.parent_masks(), kBudget);
       })},
  };
}

// Catches a weight or normalisation error in any estimator: an additive game
// has the node weights as its only answer.
TEST(Estimators, AdditiveGameExactly) {
  const Dag g = testing::random_dag(9, 0.3, 4);
  const auto weights = power_weights(9);
  for (const Estimator& e : estimators(300)) {
    Result<AsvResult> r = e.run(state_of(g), additive_word_game(weights));
    ASSERT_THAT(r, IsOk()) << e.name;
    EXPECT_EQ(r->values, weights) << e.name;
    EXPECT_EQ(r->n_samples, 300u) << e.name;
    EXPECT_FALSE(r->is_exact);
    EXPECT_EQ(r->seed, e.name == "unseeded pool" ? std::nullopt : std::optional<std::uint64_t>(7));
    EXPECT_TRUE(r->ess && *r->ess > 0 && *r->ess <= 300 * (1 + 1e-12)) << e.name;
  }
}

// Catches biased estimates (a wrong importance weight, a non-uniform uniform
// sampler) and standard errors that understate the error.
TEST(Estimators, CloseToExactValues) {
  const Dag g = testing::random_dag(8, 0.25, 12);
  const auto game = testing::random_game(5);
  const std::vector<double> exact = testing::brute_force_asv(g, game);
  for (const Estimator& e : estimators(20000)) {
    Result<AsvResult> r = e.run(state_of(g), on_words(game));
    ASSERT_THAT(r, IsOk()) << e.name;
    for (std::size_t i = 0; i < exact.size(); ++i) {
      EXPECT_NEAR(r->values[i], exact[i], 0.05) << e.name << " node " << i;
      if (r->stderr_values) {
        EXPECT_LE(std::abs(r->values[i] - exact[i]), 6 * (*r->stderr_values)[i]) << e.name;
      }
    }
  }
}

// Catches a DAG without edges being anything but the Shapley case: weights
// equal, ess = N.
TEST(Estimators, EdgelessDagHasEqualWeights) {
  SharedOracle oracle(on_words(testing::random_game(1)));
  Result<AsvResult> r =
      approximate(state_of(make_dag(7, {})), oracle, {.n_samples = 500, .seed = 2});
  ASSERT_THAT(r, IsOk());
  EXPECT_DOUBLE_EQ(*r->ess, 500.0);
  r = approximate(state_of(chain(5)), oracle, {.n_samples = 40, .seed = 2, .parallel = true});
  ASSERT_THAT(r, IsOk());
  EXPECT_DOUBLE_EQ(*r->ess, 40.0);
}

// Catches hidden state between runs or scheduling leaking into seeded
// results; seeded parallel runs must agree to the bit across pool sizes.
TEST(Estimators, SeededRunsRepeatBitForBit) {
  const ExplainerState state = state_of(testing::random_dag(10, 0.2, 8));
  const WordGame game = on_words(testing::random_game(3));
  for (const Estimator& e : estimators(400)) {
    if (e.name == "unseeded pool") continue;
    Result<AsvResult> a = e.run(state, game), b = e.run(state, game);
    ASSERT_THAT(a, IsOk());
    ASSERT_THAT(b, IsOk());
    EXPECT_EQ(a->values, b->values) << e.name;
    EXPECT_EQ(a->ess, b->ess) << e.name;
  }
  auto parallel_in_arena = [&](int pool, std::uint64_t threads) {
    tbb::task_arena arena(pool);
    Result<AsvResult> r;
    arena.execute([&] {
      SharedOracle oracle(game);
      r = approximate(state, oracle,
                      {.n_samples = 1001, .seed = 5, .num_threads = threads, .parallel = true});
    });
    return r.value().values;
  };
  const std::vector<double> reference = parallel_in_arena(1, 6);
  for (int pool : {2, 3, 4}) EXPECT_EQ(parallel_in_arena(pool, 6), reference) << pool;
  EXPECT_NE(parallel_in_arena(2, 5), reference) << "num_threads picks the orders";
}

// Catches shares cut at other bounds or workers numbered by share instead of
// by index.
TEST(WorkerShares, FloorBoundsKeepWorkerIndices) {
  auto shares = [](std::uint64_t n, std::uint64_t t) {
    std::vector<std::pair<std::uint64_t, std::uint64_t>> out;
    for (std::uint64_t k = 0; k < detail::share_count(n, t); ++k) {
      const detail::WorkerShare s = detail::worker_share(n, t, k);
      out.emplace_back(s.worker, s.count);
    }
    return out;
  };
  using Shares = std::vector<std::pair<std::uint64_t, std::uint64_t>>;
  EXPECT_EQ(shares(5, 8), (Shares{{1, 1}, {3, 1}, {4, 1}, {6, 1}, {7, 1}}));
  EXPECT_EQ(shares(10, 3), (Shares{{0, 3}, {1, 3}, {2, 4}}));
  EXPECT_EQ(shares(3, 3), (Shares{{0, 1}, {1, 1}, {2, 1}}));
  // Products beyond 64 bits must not wrap.
  const std::uint64_t big = std::uint64_t{1} << 62;
  std::uint64_t total = 0;
  for (auto [w, count] : shares(big, 3)) total += count;
  EXPECT_EQ(total, big);
  EXPECT_EQ(shares(2, ~std::uint64_t{0}).back().first, ~std::uint64_t{0} - 1);
}

// Catches worker seeds taken from the share position instead of the worker
// index (N = 5, T = 8 draws with workers 1, 3, 4, 6 and 7).
TEST(Estimators, SeededParallelDrawsFromWorkerSeeds) {
  const Dag g = make_dag(6, {});
  const auto game = testing::random_game(4);
  std::vector<double> mean(6, 0.0);
  SamplerScratch scratch(6);
  for (std::uint64_t w : {1, 3, 4, 6, 7}) {
    SampleRng rng = rng_from_seed(worker_seed(99, w));
    sample_order(g, in_degrees(g), scratch, rng);
    std::uint64_t mask = 0;
    for (NodeId i : scratch.order) {
      mean[i] += (game(mask | 1u << i) - game(mask)) / 5;
      mask |= 1u << i;
    }
  }
  SharedOracle oracle(on_words(game));
  Result<AsvResult> r = approximate(
      state_of(g), oracle, {.n_samples = 5, .seed = 99, .num_threads = 8, .parallel = true});
  ASSERT_THAT(r, IsOk());
  for (std::size_t i = 0; i < 6; ++i) EXPECT_NEAR(r->values[i], mean[i], 1e-12) << i;
}

// Catches pieces combined at different shifts without rescaling, or the
// wrong error surviving a join.
TEST(Combine, CommonShiftAndLeftErrorFirst) {
  detail::Partial a{detail::ImportanceSums<detail::PlainSum>(2, 0.0), std::nullopt};
  a.sums.weigh(0.0);  // w = 1
  a.sums.add(0, 1.0);
  a.sums.add(1, 2.0);
  detail::Partial b{detail::ImportanceSums<detail::PlainSum>(2, 1.0), std::nullopt};
  b.sums.weigh(1.0 + std::log(2.0));  // w = 2 relative to the shift
  b.sums.add(0, 4.0);
  b.sums.add(1, 8.0);
  const detail::Partial c = detail::combine(a, b);
  EXPECT_EQ(c.sums.shift(), 1.0);
  EXPECT_DOUBLE_EQ(c.sums.phi(1), 2.0 * std::exp(-1.0) + 8.0);
  EXPECT_DOUBLE_EQ(c.sums.w2(), std::exp(-2.0) + 4.0);
  EXPECT_EQ(detail::combine(detail::Partial{}, a).sums.ratio(), a.sums.ratio());

  detail::Partial left, right;
  left.error = AsvError::value_function("left");
  right.error = AsvError::value_function("right");
  EXPECT_EQ(detail::combine(left, right).error->detail(), "left");
  EXPECT_EQ(detail::combine(a, right).error->detail(), "right");
  EXPECT_EQ(detail::combine(left, a).error->detail(), "left");
}

// Catches a shift that rescales some sums but not others (squares, w2): the
// estimates, ess and second moments must not depend on when the shift rose.
TEST(ImportanceSums, RaisingTheShiftKeepsEverySum) {
  const std::vector<double> log_weights{-3.0, 5.0, 1.5, 40.0, 39.0, -2.0};
  detail::ImportanceSums<detail::KahanSum> shifted(2, detail::kNegInf, true);
  detail::ImportanceSums<detail::KahanSum> fixed(2, 40.0, true);
  for (std::size_t k = 0; k < log_weights.size(); ++k) {
    shifted.raise_shift(log_weights[k]);
    const double ws = shifted.weigh(log_weights[k]);
    const double wf = fixed.weigh(log_weights[k]);
    for (std::size_t i = 0; i < 2; ++i) {
      const double delta = static_cast<double>(k + 1) * (i + 1.0);
      shifted.add(i, ws * delta);
      fixed.add(i, wf * delta);
    }
  }
  EXPECT_EQ(shifted.shift(), 40.0);
  for (std::size_t i = 0; i < 2; ++i) {
    EXPECT_NEAR(shifted.ratio()[i], fixed.ratio()[i], 1e-12);
    EXPECT_NEAR(shifted.square(i), fixed.square(i), 1e-12 * fixed.square(i));
  }
  EXPECT_NEAR(shifted.ess(), fixed.ess(), 1e-12);
}

// Catches pool modes whose unshifted weights overflow on wide graphs
// (200! > DBL_MAX) instead of shifting.
TEST(Estimators, PoolModesStayFiniteOnWideGraphs) {
  const auto weights = power_weights(200);
  for (const Dag& g : {make_dag(200, {}), testing::random_dag(200, 0.01, 2)}) {
    for (const std::optional<std::uint64_t>& seed :
         std::vector<std::optional<std::uint64_t>>{1, std::nullopt}) {
      SharedOracle oracle(additive_word_game(weights));
      Result<AsvResult> r = approximate(
          state_of(g), oracle, {.n_samples = 24, .seed = seed, .num_threads = 4, .parallel = true});
      ASSERT_THAT(r, IsOk());
      EXPECT_EQ(r->values, weights);
      EXPECT_TRUE(std::isfinite(*r->ess) && *r->ess >= 1.0);
    }
  }
}

// Catches a pool mode that calls the oracle from workers without pausing the
// calling thread first (the Python oracle would deadlock), and failures that
// do not stop every mode.
TEST(Estimators, PoolModesPauseAndStopOnFailure) {
  const ExplainerState state = state_of(testing::random_dag(8, 0.2, 1));
  const auto game = on_words(testing::random_game(2));
  SharedOracle serial(game);
  ASSERT_THAT(approximate(state, serial, {.n_samples = 50, .seed = 1}), IsOk());
  EXPECT_FALSE(serial.paused());
  for (const SamplingOptions& o : {SamplingOptions{.n_samples = 50},
                                   SamplingOptions{.n_samples = 50, .seed = 1, .parallel = true}}) {
    SharedOracle pooled(game);
    ASSERT_THAT(approximate(state, pooled, o), IsOk());
    EXPECT_TRUE(pooled.paused());
  }
  auto third_node_fails = [](Coalition c) { return __builtin_popcountll(c[0]) == 3; };
  for (const SamplingOptions& o :
       {SamplingOptions{.n_samples = 100000, .seed = 1}, SamplingOptions{.n_samples = 100000},
        SamplingOptions{.n_samples = 100000, .seed = 1, .num_threads = 64, .parallel = true}}) {
    SharedOracle failing(game, third_node_fails);
    EXPECT_THAT(approximate(state, failing, o),
                FailsWith(Kind::kValueFunction, "value function error: RuntimeError: boom"));
    EXPECT_LT(failing.calls(), 10000u) << "the other pieces stop early";
  }
  SharedOracle failing(game, third_node_fails);
  EXPECT_THAT(approximate_adaptive(state, failing, {.seed = 1}),
              FailsWith(Kind::kValueFunction, "value function error: RuntimeError: boom"));
}

// SetOracle: answers from a game from any number of threads at once and
// records every coalition asked, to count repeats.
class SetOracle : public ValueOracle {
 public:
  explicit SetOracle(WordGame game) : game_(std::move(game)) {}
  Result<double> value(Coalition c) override {
    std::lock_guard lock(mutex_);
    ++calls_;
    asked_.emplace(c.begin(), c.end());
    return game_(c);
  }
  std::uint64_t calls() const { return calls_; }
  std::size_t distinct() const { return asked_.size(); }

 private:
  WordGame game_;
  std::mutex mutex_;
  std::uint64_t calls_ = 0;
  std::set<std::vector<std::uint64_t>> asked_;
};

// Catches pool lanes that each keep a cache of their own and ask the value
// function again for what another lane already knows.
TEST(Pool, OneCallPerCoalitionAcrossLanes) {
  const auto game = testing::random_word_game(3);
  for (const Dag& g : {testing::random_dag(10, 0.15, 4), testing::random_dag(80, 0.05, 4)}) {
    const std::uint64_t samples = g.n_nodes() > 64 ? 60 : 3000;
    for (const SamplingOptions& o :
         {SamplingOptions{.n_samples = samples},
          SamplingOptions{.n_samples = samples, .seed = 2, .num_threads = 1, .parallel = true},
          SamplingOptions{.n_samples = samples, .seed = 2, .num_threads = 3, .parallel = true},
          SamplingOptions{.n_samples = samples, .seed = 2, .num_threads = 8, .parallel = true}}) {
      tbb::task_arena arena(4);  // more lanes than this machine may have cores
      SetOracle oracle(game);
      Result<AsvResult> r;
      arena.execute([&] { r = approximate(state_of(g), oracle, o); });
      ASSERT_THAT(r, IsOk());
      EXPECT_EQ(oracle.calls(), oracle.distinct()) << g.n_nodes() << " nodes";
    }
  }
}

// NestingOracle: like the binding's oracle, one call at a time behind a lock
// of its own, and each call runs a whole explanation of another graph.
class NestingOracle : public ValueOracle {
 public:
  NestingOracle(const ExplainerState& inner, SamplingOptions options)
      : inner_(inner), options_(options) {}
  Result<double> value(Coalition c) override {
    std::lock_guard lock(mutex_);
    SharedOracle oracle(additive_word_game(std::vector<double>(inner_.n_nodes(), 0.5)));
    Result<AsvResult> r = approximate(inner_, oracle, options_);
    if (!r) return std::unexpected(r.error());
    for (double v : r->values) {
      if (v != 0.5) return std::unexpected(AsvError::value_function("nested run is wrong"));
    }
    return double(__builtin_popcountll(c[0]));
  }

 private:
  const ExplainerState& inner_;
  SamplingOptions options_;
  std::mutex mutex_;
};

// Catches a run nested in a value function that, waiting for its own lanes,
// takes a task of the run outside it and blocks on the lock its own thread
// holds: with 16 pool threads that hung for good.
TEST(Pool, NestedRunsCompleteOnSixteenThreads) {
  const ExplainerState outer = state_of(make_dag(9, {}));
  const ExplainerState inner = state_of(testing::random_dag(6, 0.3, 1));
  // More shares than threads: lanes of the outer run are still waiting to
  // be taken while inner runs wait for theirs.
  const std::vector<SamplingOptions> modes = {
      SamplingOptions{.n_samples = 3000},
      SamplingOptions{.n_samples = 300, .seed = 3, .num_threads = 64, .parallel = true},
      SamplingOptions{.n_samples = 300, .seed = 3}};
  auto all_runs = std::async(std::launch::async, [&] {
    tbb::global_control threads(tbb::global_control::max_allowed_parallelism, 16);
    tbb::task_arena arena(16);
    std::vector<std::string> failures;
    for (const SamplingOptions& outer_mode : modes) {
      for (const SamplingOptions& inner_mode : modes) {
        NestingOracle oracle(inner, inner_mode);
        Result<AsvResult> r;
        arena.execute([&] { r = approximate(outer, oracle, outer_mode); });
        if (!r)
          failures.push_back(r.error().message());
        else if (r->values != std::vector<double>(9, 1.0))
          failures.push_back("wrong values");
      }
    }
    return failures;
  });
  if (all_runs.wait_for(std::chrono::seconds(60)) != std::future_status::ready) {
    // A deadlock cannot be undone: report it and end the test program.
    std::fprintf(stderr, "Pool.NestedRunsCompleteOnSixteenThreads: deadlock\n");
    std::_Exit(1);
  }
  EXPECT_EQ(all_runs.get(), std::vector<std::string>{});
}

// ThrowingOracle: throws (a broken invariant, or memory running out) on the
// coalitions of three nodes, from whichever thread asks.
class ThrowingOracle : public ValueOracle {
 public:
  Result<double> value(Coalition c) override {
    if (__builtin_popcountll(c[0]) == 3) throw InternalFault("broken on purpose");
    return 1.0;
  }
};

// Catches an exception escaping a pool thread (which would end the process)
// or rethrown before every lane has stopped using the run's state; the pool
// must work normally afterwards.
TEST(Pool, LaneExceptionIsRethrownOnTheCallingThread) {
  const ExplainerState state = state_of(make_dag(10, {}));
  for (int round = 0; round < 3; ++round) {
    for (const SamplingOptions& o :
         {SamplingOptions{.n_samples = 2000},
          SamplingOptions{.n_samples = 2000, .seed = 1, .num_threads = 8, .parallel = true}}) {
      ThrowingOracle oracle;
      tbb::task_arena arena(4);
      arena.execute([&] { EXPECT_THROW((void)approximate(state, oracle, o), InternalFault); });
    }
  }
  SharedOracle fine(on_words([](std::uint64_t m) { return double(__builtin_popcountll(m)); }));
  Result<AsvResult> r = approximate(state, fine, {.n_samples = 500});
  ASSERT_THAT(r, IsOk());
  EXPECT_EQ(r->values, std::vector<double>(10, 1.0));
}

// Catches a claim that is never handed over: a waiter must get the value
// its owner publishes, take over a claim its owner abandons, and give up when
// its run stops; a bounded cache claims no more than its capacity.
TEST(SharedCache, ClaimsWaitsAndCapacity) {
  detail::SharedValueCache<detail::MaskKeys> cache;
  double v = 0.0;
  ASSERT_EQ(cache.find_or_claim(7, &v), detail::Found::kClaimed);
  ASSERT_EQ(cache.find_or_claim(7, &v), detail::Found::kPending);
  auto waiter = std::async(std::launch::async, [&] {
    double got = 0.0;
    const detail::Found f = cache.wait(7, &got);
    return std::pair(f, got);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  cache.publish(7, 2.5);
  EXPECT_EQ(waiter.get(), std::pair(detail::Found::kValue, 2.5));

  ASSERT_EQ(cache.find_or_claim(8, &v), detail::Found::kClaimed);
  auto heir = std::async(std::launch::async, [&] {
    double got = 0.0;
    return cache.wait(8, &got);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  cache.abandon(8);
  EXPECT_EQ(heir.get(), detail::Found::kClaimed) << "the waiter takes the claim over";

  ASSERT_EQ(cache.find_or_claim(9, &v), detail::Found::kClaimed);
  std::atomic<bool> stopped{true};
  InterruptScope stopping(stopped, nullptr);
  EXPECT_EQ(cache.wait(9, &v), detail::Found::kPending) << "a stopped run stops waiting";

  detail::SharedValueCache<detail::WordKeys> bounded(2);
  const std::vector<std::uint64_t> a{1, 0}, b{2, 0}, c{3, 0};
  EXPECT_EQ(bounded.find_or_claim(a, &v), detail::Found::kClaimed);
  EXPECT_EQ(bounded.find_or_claim(b, &v), detail::Found::kClaimed);
  EXPECT_EQ(bounded.find_or_claim(c, &v), detail::Found::kFull);
  bounded.abandon(b);
  EXPECT_EQ(bounded.find_or_claim(c, &v), detail::Found::kClaimed)
      << "an abandoned claim frees room";
  bounded.publish(a, 1.5);
  EXPECT_EQ(bounded.find_or_claim(a, &v), detail::Found::kValue);
  EXPECT_EQ(v, 1.5);
}

// Catches shares combined in an order that depends on when they finish: the
// halving tree must give the bits of the recursive combination.
TEST(Pool, HalvingTreeMatchesRecursiveCombination) {
  for (std::uint64_t leaves : {1, 2, 3, 7, 16, 37}) {
    std::vector<detail::Partial> parts(leaves);
    SampleRng rng = rng_from_seed(leaves);
    for (detail::Partial& p : parts) {
      p.sums = detail::ImportanceSums<detail::PlainSum>(2, 0.0);
      p.sums.add(0, std::ldexp(double(rng.next_word32()), -20));
      p.sums.add(1, std::ldexp(double(rng.next_word32()), -7));
      p.sums.weigh(std::log(std::ldexp(double(rng.next_word32()), -30)));
    }
    std::function<detail::Partial(std::uint64_t, std::uint64_t)> reference = [&](std::uint64_t b,
                                                                                 std::uint64_t e) {
      if (e - b == 1) return parts[b];
      const std::uint64_t m = b + (e - b) / 2;
      return detail::combine(reference(b, m), reference(m, e));
    };
    const detail::Partial expected = reference(0, leaves);
    std::vector<std::uint64_t> arrival(leaves);
    std::iota(arrival.begin(), arrival.end(), 0);
    for (int shuffle = 0; shuffle < 5; ++shuffle) {
      for (std::uint64_t k = leaves; k > 1; --k)
        std::swap(arrival[k - 1], arrival[draw_below(rng, k)]);
      detail::HalvingTree tree(leaves);
      for (std::uint64_t k : arrival) tree.add(k, parts[k]);
      const detail::Partial root = tree.root();
      EXPECT_EQ(root.sums.ratio(), expected.sums.ratio()) << leaves;
      EXPECT_EQ(root.sums.w1(), expected.sums.w1()) << leaves;
    }
  }
}

// Catches orders evaluated twice per run, batches not sorted or repeated, and
// batch sizes other than asked.
TEST(ApproximateBatched, CallCountsSizesAndOrder) {
  auto game = on_words(testing::random_game(6));
  RecordingBatchOracle line(game);
  ASSERT_THAT(approximate_batched(state_of(chain(4)), line, {.n_samples = 600, .seed = 1}), IsOk());
  ASSERT_EQ(line.calls().size(), 1u) << "later batches find everything cached";
  EXPECT_EQ(line.calls()[0].size(), 5u);

  // 12 independent nodes: every order of a batch brings new coalitions.
  const ExplainerState state = state_of(make_dag(12, {}));
  for (auto [batch_size, calls] :
       std::vector<std::pair<std::uint64_t, std::size_t>>{{3, 4}, {0, 10}, {1, 10}, {50, 1}}) {
    RecordingBatchOracle oracle(game);
    ASSERT_THAT(
        approximate_batched(state, oracle, {.n_samples = 10, .seed = 2, .batch_size = batch_size}),
        IsOk());
    EXPECT_EQ(oracle.calls().size(), calls) << batch_size;
    std::set<std::vector<std::uint64_t>> seen;
    for (const auto& call : oracle.calls()) {
      EXPECT_TRUE(std::is_sorted(call.begin(), call.end()));
      for (const auto& set : call) EXPECT_TRUE(seen.insert(set).second) << "asked twice";
    }
    if (batch_size <= 1) {
      EXPECT_EQ(oracle.calls()[0].size(), 13u) << "one order per batch";
    }
  }
  RecordingBatchOracle wrong(game, 1);
  const Result<AsvResult> r = approximate_batched(state, wrong, {.n_samples = 10, .seed = 2});
  ASSERT_EQ(wrong.calls().size(), 1u);
  const std::size_t asked = wrong.calls()[0].size();
  EXPECT_THAT(r, FailsWith(Kind::kValueFunction,
                           "value function error: value_fn_batch returned " +
                               std::to_string(asked + 1) + " values for " + std::to_string(asked) +
                               " coalitions"));
  RecordingBatchOracle short_result(game, -1);
  EXPECT_THAT(approximate_adaptive_batched(state, short_result, {.seed = 2}), Not(IsOk()));
}

// Catches the value function asked twice for a coalition within one run.
TEST(Approximate, OneCallPerDistinctCoalition) {
  WordsOracle oracle(on_words(testing::random_game(1)));
  ASSERT_THAT(approximate(state_of(make_dag(5, {})), oracle, {.n_samples = 300, .seed = 4}),
              IsOk());
  EXPECT_EQ(oracle.calls().front(), std::vector<std::uint64_t>{0});
  std::set<std::vector<std::uint64_t>> distinct(oracle.calls().begin(), oracle.calls().end());
  EXPECT_EQ(distinct.size(), oracle.calls().size());
  EXPECT_EQ(distinct.size(), 32u);
}

// Catches the adaptive loop's edge cases: no samples at all, the second test
// as the earliest stop, an ess gate that never opens, a short last batch.
TEST(Adaptive, EdgeCases) {
  const ExplainerState state = state_of(testing::random_dag(6, 0.3, 3));
  const auto game = on_words(testing::random_game(8));
  using Run = std::function<Result<AsvResult>(const ExplainerState&, const WordGame&,
                                              const AdaptiveOptions&)>;
  const std::vector<std::pair<bool, Run>> runs = {
      {true,
       [](auto& s, auto& g, auto& o) {
         SharedOracle f(g);
         return approximate_adaptive(s, f, o);
       }},
      {true,
       [](auto& s, auto& g, auto& o) {
         RecordingBatchOracle f(g);
         return approximate_adaptive_batched(s, f, o);
       }},
      {false,
       [](auto& s, auto& g, auto& o) {
         SharedOracle f(g);
         return approximate_uniform_sparse_adaptive(s, f, o, s.parent_masks(), kBudget);
       }},
      {false,
       [](auto& s, auto& g, auto& o) {
         RecordingBatchOracle f(g);
         return approximate_uniform_sparse_adaptive_batched(s, f, o, s.parent_masks(), kBudget);
       }},
  };
  for (const auto& [weighted, run] : runs) {
    Result<AsvResult> none = run(state, game, {.min_samples = 0, .max_samples = 0, .seed = 1});
    ASSERT_THAT(none, IsOk());
    EXPECT_EQ(none->n_samples, 0u);
    EXPECT_EQ(none->converged, false);
    EXPECT_TRUE(std::isnan(none->values[0]) && std::isnan((*none->stderr_values)[0]));
    EXPECT_TRUE(weighted ? std::isnan(*none->ess) : *none->ess == 0.0);

    Result<AsvResult> flat = run(state, on_words([](std::uint64_t) { return 3.0; }),
                                 {.min_samples = 0, .batch_size = 10, .rel_tol = 1e-6, .seed = 1});
    ASSERT_THAT(flat, IsOk());
    EXPECT_EQ(flat->n_samples, 20u) << "converges on the second test";
    EXPECT_EQ(flat->converged, true);
    EXPECT_EQ(flat->values, std::vector<double>(6, 0.0));
    EXPECT_EQ(*flat->stderr_values, std::vector<double>(6, 0.0));

    Result<AsvResult> capped =
        run(state, game, {.min_samples = 0, .max_samples = 25, .batch_size = 10, .rel_tol = 0.0});
    ASSERT_THAT(capped, IsOk());
    EXPECT_EQ(capped->n_samples, 25u);
    EXPECT_EQ(capped->converged, false);
  }
  SharedOracle f(game);
  Result<AsvResult> gated = approximate_adaptive(state, f,
                                                 {.min_samples = 0,
                                                  .max_samples = 300,
                                                  .batch_size = 10,
                                                  .rel_tol = 1e9,
                                                  .ess_ratio_min = 2.0,
                                                  .seed = 1});
  ASSERT_THAT(gated, IsOk());
  EXPECT_EQ(gated->n_samples, 300u);
  EXPECT_EQ(gated->converged, false);

  SharedOracle g(game);
  const ExplainerState five = state_of(chain(5));
  Result<AsvResult> line = approximate_uniform_sparse_adaptive(
      five, g, {.min_samples = 0, .batch_size = 7, .seed = 1}, five.parent_masks(), kBudget);
  ASSERT_THAT(line, IsOk());
  EXPECT_EQ(line->converged, true);
  EXPECT_EQ(line->n_samples, 14u);
  for (double e : *line->stderr_values) EXPECT_NEAR(e, 0.0, 1e-7);  // variance ~ ulp
}

// Catches a stopping rule that changes which orders are drawn: a run that
// stops earlier asks for a prefix of what a longer run asks for.
TEST(Adaptive, StoppingPointDoesNotChangeTheOrders) {
  const ExplainerState state = state_of(testing::random_dag(16, 0.1, 9));
  const auto game = on_words(testing::random_game(2));
  WordsOracle early(game), late(game);
  const AdaptiveOptions base{.min_samples = 0, .max_samples = 2000, .batch_size = 50, .seed = 3};
  AdaptiveOptions loose = base, strict = base;
  loose.rel_tol = 0.5;
  strict.rel_tol = 0.0;
  ASSERT_THAT(approximate_adaptive(state, early, loose), IsOk());
  Result<AsvResult> r = approximate_adaptive(state, late, strict);
  ASSERT_THAT(r, IsOk());
  EXPECT_EQ(r->n_samples, 2000u);
  ASSERT_LT(early.calls().size(), late.calls().size());
  EXPECT_TRUE(std::equal(early.calls().begin(), early.calls().end(), late.calls().begin()));
}

// Catches option checks missing, out of order or with other texts.
TEST(Estimators, OptionMessages) {
  const ExplainerState state = state_of(chain(3));
  SharedOracle oracle(on_words(testing::random_game(0)));
  RecordingBatchOracle batch(on_words(testing::random_game(0)));
  const std::string no_samples = "invalid configuration: n_samples must be > 0";
  EXPECT_THAT(approximate(state, oracle, {.n_samples = 0}),
              FailsWith(Kind::kInvalidConfiguration, no_samples));
  EXPECT_THAT(approximate_batched(state, batch, {.n_samples = 0}),
              FailsWith(Kind::kInvalidConfiguration, no_samples));
  EXPECT_THAT(
      approximate_uniform_sparse(state, oracle, {.n_samples = 0}, state.parent_masks(), kBudget),
      FailsWith(Kind::kInvalidConfiguration, no_samples));
  EXPECT_THAT(approximate(state, oracle,
                          {.n_samples = 9, .seed = 1, .num_threads = 0, .parallel = true}),
              FailsWith(Kind::kInvalidConfiguration,
                        "invalid configuration: num_threads must be > 0"));
  EXPECT_EQ(oracle.calls(), 0u);
  EXPECT_THAT(approximate(state, oracle, {.n_samples = 9, .num_threads = 0, .parallel = true}),
              IsOk())
      << "num_threads is the seeded mode's only";

  const std::string batch_zero = "invalid configuration: batch_size must be > 0";
  const std::string min_max = "invalid configuration: min_samples must be \xe2\x89\xa4 max_samples";
  const AdaptiveOptions zero{.min_samples = 9, .max_samples = 1, .batch_size = 0};
  const AdaptiveOptions inverted{.min_samples = 9, .max_samples = 1};
  EXPECT_THAT(approximate_adaptive(state, oracle, zero),
              FailsWith(Kind::kInvalidConfiguration, batch_zero));
  EXPECT_THAT(approximate_adaptive_batched(state, batch, inverted),
              FailsWith(Kind::kInvalidConfiguration, min_max));
  EXPECT_THAT(
      approximate_uniform_sparse_adaptive(state, oracle, zero, state.parent_masks(), kBudget),
      FailsWith(Kind::kInvalidConfiguration, batch_zero));
  EXPECT_THAT(approximate_uniform_sparse_adaptive_batched(state, batch, inverted,
                                                          state.parent_masks(), kBudget),
              FailsWith(Kind::kInvalidConfiguration, min_max));

  const ExplainerState wide = state_of(make_dag(64, {}));
  EXPECT_THAT(approximate_uniform_sparse(wide, oracle, {.n_samples = 0}, {}, kBudget),
              FailsWith(Kind::kInvalidConfiguration,
                        "invalid configuration: approximate_uniform_sparse requires n "
                        "\xe2\x89\xa4 63 (u64 bitmask), got 64; use approximate() for larger "
                        "DAGs"));
  EXPECT_THAT(approximate_uniform_sparse_adaptive(wide, oracle, zero, {}, kBudget),
              FailsWith(Kind::kInvalidConfiguration,
                        "invalid configuration: approximate_uniform_sparse_adaptive requires n "
                        "\xe2\x89\xa4 63, got 64"));
  EXPECT_THAT(approximate_uniform_sparse_adaptive_batched(wide, batch, zero, {}, kBudget),
              FailsWith(Kind::kInvalidConfiguration,
                        "invalid configuration: approximate_uniform_sparse_adaptive_batched "
                        "requires n \xe2\x89\xa4 63, got 64"));
}

// Catches a memo budget checked only after the memo is filled (40
// independent nodes have 2^40 up-sets), a budget off by one, or guards that
// fire when nothing is drawn.
TEST(UniformSparse, MemoBudget) {
  SharedOracle oracle(on_words(testing::random_game(0)));
  RecordingBatchOracle batch(on_words(testing::random_game(0)));
  const ExplainerState ten = state_of(make_dag(10, {}));  // 1024 ideals: 1023 memo entries
  const auto pm = ten.parent_masks();
  EXPECT_THAT(approximate_uniform_sparse(ten, oracle, {.n_samples = 5}, pm, 80 * 1023), IsOk());
  EXPECT_THAT(approximate_uniform_sparse(ten, oracle, {.n_samples = 5}, pm, 80 * 1023 - 1),
              FailsWith(Kind::kExtensionCountOverflow,
                        "linear extension count overflowed u64: approximate_uniform_sparse: "
                        "dp_ind cache exceeded 0MB at 1023 entries; use approximate() for this "
                        "DAG"));
  // Two chains of 10: narrow layers, but 11 * 11 ideals, so counted.
  std::vector<std::pair<NodeId, NodeId>> edges;
  for (NodeId i = 0; i + 1 < 10; ++i) edges.insert(edges.end(), {{i, i + 1}, {i + 10, i + 11}});
  const ExplainerState two = state_of(make_dag(20, edges));
  EXPECT_THAT(approximate_uniform_sparse(two, oracle, {.n_samples = 5}, two.parent_masks(), 9600),
              IsOk());
  EXPECT_THAT(approximate_uniform_sparse(two, oracle, {.n_samples = 5}, two.parent_masks(), 9599),
              FailsWith(Kind::kExtensionCountOverflow,
                        "linear extension count overflowed u64: approximate_uniform_sparse: "
                        "dp_ind cache exceeded 0MB at 120 entries; use approximate() for this "
                        "DAG"));
  // The memo stops filling one entry past the budget instead of growing to
  // all 1023 up-sets first.
  EXPECT_THAT(approximate_uniform_sparse(ten, oracle, {.n_samples = 5}, pm, 80 * 500),
              FailsWith(Kind::kExtensionCountOverflow,
                        "linear extension count overflowed u64: approximate_uniform_sparse: "
                        "dp_ind cache exceeded 0MB at 501 entries; use approximate() for this "
                        "DAG"));
  const std::uint64_t calls = oracle.calls();
  // 40 independent nodes have 2^40 up-sets, but the counting overflows after
  // about 2^21 of them, as the unbounded memo would.
  const ExplainerState wide = state_of(make_dag(40, {}));
  EXPECT_THAT(
      approximate_uniform_sparse(wide, oracle, {.n_samples = 5}, wide.parent_masks(), kBudget),
      FailsWith(Kind::kExtensionCountOverflow,
                count_overflow("dp_ind", ((std::uint64_t{1} << 21) - 1) << 19).message()));
  const AdaptiveOptions some{.min_samples = 0, .max_samples = 10, .batch_size = 5};
  EXPECT_THAT(approximate_uniform_sparse_adaptive(ten, oracle, some, pm, 1 << 16),
              FailsWith(Kind::kExtensionCountOverflow,
                        "linear extension count overflowed u64: "
                        "approximate_uniform_sparse_adaptive: dp_ind cache exceeded 0MB; use "
                        "approximate_adaptive() for this DAG"));
  EXPECT_THAT(approximate_uniform_sparse_adaptive_batched(ten, batch, some, pm, 1 << 16),
              FailsWith(Kind::kExtensionCountOverflow,
                        "linear extension count overflowed u64: uniform_sparse_adaptive_batch: "
                        "dp_ind cache exceeded 0MB; use approximate_adaptive_batched() for this "
                        "DAG"));
  EXPECT_EQ(oracle.calls(), calls) << "no value asked once the budget fails";
  EXPECT_THAT(approximate_uniform_sparse_adaptive(
                  wide, oracle, {.min_samples = 0, .max_samples = 0}, wide.parent_masks(), kBudget),
              IsOk());
}

// Catches a budget check that hides the count overflow of a DAG whose memo
// fits (21 independent nodes: 21! > 2^64).
TEST(UniformSparse, OverflowReportedBeforeBudget) {
  SharedOracle oracle(on_words(testing::random_game(0)));
  const ExplainerState s = state_of(make_dag(21, {}));
  EXPECT_THAT(
      approximate_uniform_sparse(s, oracle, {.n_samples = 3, .seed = 1}, s.parent_masks(), kBudget),
      FailsWith(Kind::kExtensionCountOverflow,
                "linear extension count overflowed u64: dp_ind[0b111111111111111111111] "
                "overflowed u64 \xe2\x80\x94 use approx for this DAG"));
  EXPECT_EQ(oracle.calls(), 0u);
}

// Catches a uniform estimator that weights or draws differently from the
// definition on a chain (a single order, no random word).
TEST(UniformSparse, ChainGivesItsOneOrder) {
  const auto game = testing::random_game(3);
  SharedOracle oracle(on_words(game));
  const ExplainerState line = state_of(chain(4));
  Result<AsvResult> r =
      approximate_uniform_sparse(line, oracle, {.n_samples = 9}, line.parent_masks(), kBudget);
  ASSERT_THAT(r, IsOk());
  EXPECT_LT(testing::max_relative_error(r->values, testing::brute_force_asv(chain(4), game)),
            1e-15);
  EXPECT_EQ(r->ess, 9.0);
  EXPECT_EQ(r->seed, std::nullopt);
}

}  // namespace
}  // namespace morvend

#include "approx_large/approx_large.hpp"
#include "approx/approx.hpp"

#include <algorithm>
#include <map>
#include <mutex>
#include <set>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "approx_large/large_walkers.hpp"
#include "coalition/coalition.hpp"
#include "common/engines.hpp"
#include "common/graphs.hpp"
#include "common/oracles.hpp"
#include "common/result_matchers.hpp"

namespace morvend {
namespace {

using testing::FailsWith;
using testing::IsOk;
using Kind = AsvError::Kind;
using testing::make_dag;
using testing::RecordingBatchOracle;
using testing::SharedOracle;
using testing::state_of;
using testing::WordsOracle;
using Words = std::vector<std::uint64_t>;

// FlushOracle: records the most coalition words one value_each asked at once.
class FlushOracle : public ValueOracle {
 public:
  Result<double> value(Coalition) override { return 1.0; }
  Result<void> value_each(std::span<const std::uint64_t> words, std::size_t count,
                          std::span<double> out) override {
    std::lock_guard lock(mutex_);
    most_words_ = std::max(most_words_, words.size());
    std::fill_n(out.begin(), count, 1.0);
    return {};
  }
  std::size_t most_words() const { return most_words_; }

 private:
  std::mutex mutex_;
  std::size_t most_words_ = 0;
};

// Catches a walk that holds every prefix of an order at once: on a graph of
// 20,000 nodes that is 6.3 million words per order (and 737 MiB at 40,000
// nodes); asked in bounded flushes, memory stays linear in n.
TEST(ApproximateLarge, WalkAsksInBoundedFlushes) {
  const ExplainerState state = state_of(make_dag(20000, {}));
  for (const SamplingOptions& o :
       {SamplingOptions{.n_samples = 1, .seed = 1}, SamplingOptions{.n_samples = 2},
        SamplingOptions{.n_samples = 2, .seed = 1, .parallel = true}}) {
    FlushOracle oracle;
    Result<AsvResult> r = approximate(state, oracle, o);
    ASSERT_THAT(r, IsOk());
    EXPECT_GT(oracle.most_words(), 0u);
    EXPECT_LE(oracle.most_words(), detail::kFlushWords + words_for(20000));
  }
}

// Catches the large variants drifting from the one-word estimators: on a
// small graph they draw the same orders and do the same arithmetic, so the
// results agree to the bit.
TEST(ApproximateLarge, SameBitsAsOneWordEstimators) {
  const ExplainerState state = state_of(testing::random_dag(12, 0.2, 5));
  const auto game = testing::random_word_game(4);
  auto single = [&](auto run) {
    SharedOracle oracle(game);
    return run(oracle).value();
  };
  auto batch = [&](auto run) {
    RecordingBatchOracle oracle(game);
    return run(oracle).value();
  };
  const SamplingOptions serial{.n_samples = 300, .seed = 1};
  const SamplingOptions parallel{.n_samples = 300, .seed = 1, .num_threads = 3, .parallel = true};
  const SamplingOptions batched{.n_samples = 300, .seed = 1, .batch_size = 64};
  const AdaptiveOptions adaptive{
      .min_samples = 0, .max_samples = 500, .batch_size = 50, .rel_tol = 0.05, .seed = 1};
  std::vector<std::pair<AsvResult, AsvResult>> pairs;
  pairs.emplace_back(single([&](auto& o) { return approximate(state, o, serial); }),
                     single([&](auto& o) { return approximate_large(state, o, serial); }));
  pairs.emplace_back(single([&](auto& o) { return approximate(state, o, parallel); }),
                     single([&](auto& o) { return approximate_large(state, o, parallel); }));
  pairs.emplace_back(batch([&](auto& o) { return approximate_batched(state, o, batched); }),
                     batch([&](auto& o) { return approximate_batched_large(state, o, batched); }));
  pairs.emplace_back(
      single([&](auto& o) { return approximate_adaptive(state, o, adaptive); }),
      single([&](auto& o) { return approximate_adaptive_large(state, o, adaptive); }));
  pairs.emplace_back(
      batch([&](auto& o) { return approximate_adaptive_batched(state, o, adaptive); }),
      batch([&](auto& o) { return approximate_adaptive_batched_large(state, o, adaptive); }));
  for (const auto& [small, large] : pairs) {
    EXPECT_EQ(small.values, large.values);
    EXPECT_EQ(small.ess, large.ess);
    EXPECT_EQ(small.n_samples, large.n_samples);
    EXPECT_EQ(small.stderr_values, large.stderr_values);
    EXPECT_EQ(small.converged, large.converged);
  }
}

// Catches a coalition of the wrong width or a node in the wrong bit: n = 65
// needs two words, n = 128 still two with node 127 the top bit of word 1.
TEST(ApproximateLarge, CoalitionWidth) {
  for (auto [n, last] : {std::pair<std::size_t, std::uint64_t>{65, 1}, {128, ~0ull}}) {
    WordsOracle oracle(testing::random_word_game(0));
    ASSERT_THAT(approximate(state_of(testing::chain(n)), oracle, {.n_samples = 2, .seed = 1}),
                IsOk());
    ASSERT_EQ(oracle.calls().size(), n + 1);
    EXPECT_EQ(oracle.calls().front(), (Words{0, 0}));
    EXPECT_EQ(oracle.calls().back(), (Words{~0ull, last}));
    EXPECT_EQ(oracle.calls()[65], (Words{~0ull, 1}));
  }
}

// Catches a weight or normalisation slip in any large mode: an additive game
// with power-of-two weights comes back exactly.
TEST(ApproximateLarge, AdditiveGameExactlyInEveryMode) {
  const Dag g = testing::random_dag(130, 0.03, 7);
  std::vector<double> weights(130);
  for (std::size_t i = 0; i < 130; ++i) weights[i] = std::ldexp(i % 3 ? 1.0 : -1.0, int(i % 5));
  const auto game = testing::additive_word_game(weights);
  const ExplainerState state = state_of(g);
  std::vector<Result<AsvResult>> results;
  for (const SamplingOptions& o :
       {SamplingOptions{.n_samples = 40, .seed = 2}, SamplingOptions{.n_samples = 40},
        SamplingOptions{.n_samples = 40, .seed = 2, .parallel = true}}) {
    SharedOracle oracle(game);
    results.push_back(approximate(state, oracle, o));
  }
  RecordingBatchOracle batch(game);
  results.push_back(approximate_batched(state, batch, {.n_samples = 40, .batch_size = 16}));
  const AdaptiveOptions adaptive{.min_samples = 0, .max_samples = 60, .batch_size = 20};
  SharedOracle single(game);
  results.push_back(approximate_adaptive(state, single, adaptive));
  results.push_back(approximate_adaptive_batched(state, batch, adaptive));
  for (const Result<AsvResult>& r : results) {
    ASSERT_THAT(r, IsOk());
    EXPECT_EQ(r->values, weights);
  }
}

// Catches a cache that grows past its cap, or one that forgets what it
// stored: the first 50,000 distinct coalitions are asked once each, and only
// coalitions first met after that are asked again.
TEST(ApproximateLarge, CacheStopsStoringAt50000) {
  WordsOracle oracle(testing::random_word_game(1));
  ASSERT_THAT(approximate(state_of(make_dag(65, {})), oracle, {.n_samples = 2000, .seed = 3}),
              IsOk());
  std::map<Words, int> asked;
  std::vector<const Words*> first_seen;
  for (const Words& set : oracle.calls()) {
    auto [it, is_new] = asked.try_emplace(set, 0);
    ++it->second;
    if (is_new) first_seen.push_back(&it->first);
  }
  ASSERT_GT(first_seen.size(), kLargeCacheCapacity);
  for (std::size_t k = 0; k < kLargeCacheCapacity; ++k) ASSERT_EQ(asked[*first_seen[k]], 1) << k;
  EXPECT_GT(oracle.calls().size(), first_seen.size()) << "later coalitions recur uncached";
}

// Catches batch calls over 4096 coalitions, or sets not in lexicographic
// order (word 0 first). The batch of 78 orders below has exactly 5000
// distinct prefix coalitions.
TEST(ApproximateLarge, BatchCallsInChunksOf4096) {
  const ExplainerState state = state_of(make_dag(66, {}));
  RecordingBatchOracle oracle(testing::random_word_game(2));
  ASSERT_THAT(approximate_batched(state, oracle, {.n_samples = 78, .seed = 6, .batch_size = 78}),
              IsOk());
  ASSERT_EQ(oracle.calls().size(), 2u);
  EXPECT_EQ(oracle.calls()[0].size(), 4096u);
  EXPECT_EQ(oracle.calls()[1].size(), 904u);
  std::vector<Words> all = oracle.calls()[0];
  all.insert(all.end(), oracle.calls()[1].begin(), oracle.calls()[1].end());
  EXPECT_TRUE(std::is_sorted(all.begin(), all.end()));
  EXPECT_EQ(std::set<Words>(all.begin(), all.end()).size(), 5000u);

  RecordingBatchOracle wrong(testing::random_word_game(2), 1);
  EXPECT_THAT(approximate_batched(state, wrong, {.n_samples = 78, .seed = 6, .batch_size = 78}),
              FailsWith(Kind::kValueFunction,
                        "value function error: value_fn_batch returned 4097 values for 4096 "
                        "coalitions"));
}

// Catches the large variants skipping the option checks of their one-word
// counterparts.
TEST(ApproximateLarge, OptionMessages) {
  const ExplainerState state = state_of(make_dag(66, {}));
  SharedOracle oracle(testing::random_word_game(0));
  RecordingBatchOracle batch(testing::random_word_game(0));
  EXPECT_THAT(approximate(state, oracle, {.n_samples = 0}),
              FailsWith(Kind::kInvalidConfiguration,
                        "invalid configuration: n_samples must be > 0"));
  EXPECT_THAT(approximate_batched(state, batch, {.n_samples = 0}),
              FailsWith(Kind::kInvalidConfiguration,
                        "invalid configuration: n_samples must be > 0"));
  EXPECT_THAT(approximate(state, oracle,
                          {.n_samples = 3, .seed = 1, .num_threads = 0, .parallel = true}),
              FailsWith(Kind::kInvalidConfiguration,
                        "invalid configuration: num_threads must be > 0"));
  EXPECT_THAT(approximate_adaptive(state, oracle,
                                   {.min_samples = 5, .max_samples = 1, .batch_size = 0}),
              FailsWith(Kind::kInvalidConfiguration,
                        "invalid configuration: batch_size must be > 0"));
  EXPECT_THAT(approximate_adaptive_batched(state, batch, {.min_samples = 5, .max_samples = 1}),
              FailsWith(Kind::kInvalidConfiguration,
                        "invalid configuration: min_samples must be \xe2\x89\xa4 max_samples"));
  EXPECT_EQ(oracle.calls(), 0u);
  EXPECT_TRUE(batch.calls().empty());
}

}  // namespace
}  // namespace morvend

#include "sampler/sampler.hpp"

#include <algorithm>
#include <cmath>
#include <map>
#include <unordered_set>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "asv/ideal_levels.hpp"
#include "common/graphs.hpp"
#include "common/oracles.hpp"
#include "common/result_matchers.hpp"

namespace morvend {
namespace {

using testing::FailsWith;
using testing::IsOk;
using Kind = AsvError::Kind;
using testing::chain;
using testing::make_dag;

// Reference words of ChaCha12Rng::seed_from_u64(seed) from the Rust crate
// rand_chacha 0.3.1 with rand_core 0.6.3 (Debian's librust-rand-chacha-dev),
// printed by a ten-line program built offline against those sources.
struct Reference {
  std::uint64_t seed;
  std::array<std::uint32_t, 8> first;  // words 0..7
  std::array<std::uint32_t, 10> late;  // words 60..69, across the first refill
  std::uint64_t u64_at_63;             // next_u64 after 63 words: words 63 and 64
  std::uint32_t word_16384;            // word 0 of block 1024
};

const Reference kReferences[] = {
    {0,
     {0xcd2c6f7f, 0xbb2a3fb2, 0x8e27697b, 0xc6017c94, 0xcf310a16, 0x069dc102, 0xabe5f6d0,
      0x958b761d},
     {0x295b5373, 0x37800b8b, 0x6fdc7e07, 0xfa202be2, 0x4c0bcc72, 0xeadd98ee, 0x6362a0a5,
      0xad5d3511, 0x610e6994, 0x03d8ae10},
     0x4c0bcc72fa202be2,
     0x43bcbd73},
    {1,
     {0xd3301861, 0xf9681a64, 0xcc0d694a, 0xb0f4d125, 0x3248c9da, 0x6d8fc15a, 0x376425d3,
      0x2cf33517},
     {0xebd55ac8, 0x79520305, 0x0c3f0b5d, 0x3c25aa00, 0x06cc05a3, 0xf4c4c9f5, 0xcb68f270,
      0x43bd0a27, 0x4bc80dbc, 0x0d1865b1},
     0x06cc05a33c25aa00,
     0x5f8ac424},
    {42,
     {0x222724a2, 0x86cc7763, 0x3fad517d, 0x8af00a13, 0xde5134d1, 0xa2ef6071, 0xfd7630b2,
      0x67e92d78},
     {0xdd8a46e1, 0x6c8a64b4, 0x32102eec, 0xe373bd00, 0xee66b7a9, 0xec0619b0, 0x6c100e0f,
      0xde8aa969, 0xa5465bd3, 0xa61dc1b0},
     0xee66b7a9e373bd00,
     0x9e00df57},
    {0xdeadbeefcafef00d,
     {0x3325888e, 0xb5ae0a99, 0x37ba574b, 0xe98c5e4c, 0x87be6681, 0x2c85599d, 0xf23d2439,
      0x586d4dc5},
     {0x087b2ede, 0x8fd10ddb, 0xc7de55cf, 0xb82fd075, 0x64d5e5e0, 0x74835b3d, 0x8c6a939c,
      0x0d449ce6, 0xaf3ec577, 0xb56b9366},
     0x64d5e5e0b82fd075,
     0x3a6b0893},
    {0xffffffffffffffff,
     {0x2e3d5fb8, 0x0fa79848, 0x4112469e, 0x0a3370b4, 0x65c61658, 0x12a43d6f, 0x4e51203b,
      0x5d082f91},
     {0xda58665c, 0xf29a538c, 0x75a977bf, 0x63096e3e, 0xdc379ad1, 0x7e139e29, 0x508533ea,
      0xf634bb27, 0x9e4e70c5, 0x5d01de44},
     0xdc379ad163096e3e,
     0x71a048a0},
};

// words_used: how many 32-bit words `rng` has consumed, found by matching its
// next word against a fresh generator of the same seed.
std::size_t words_used(SampleRng rng, std::uint64_t seed) {
  const std::uint32_t next = rng.next_word32();
  SampleRng fresh = rng_from_seed(seed);
  for (std::size_t k = 0; k < 1000; ++k) {
    if (fresh.next_word32() == next) return k;
  }
  return SIZE_MAX;
}

// Catches a wrong key schedule, round count, block layout, word order or
// refill (the late words cross the first refill of four blocks).
TEST(SampleRng, MatchesReferenceWords) {
  for (const Reference& ref : kReferences) {
    SampleRng rng = rng_from_seed(ref.seed);
    for (std::uint32_t w : ref.first) EXPECT_EQ(rng.next_word32(), w) << ref.seed;
    for (int k = 8; k < 60; ++k) rng.next_word32();
    for (std::uint32_t w : ref.late) EXPECT_EQ(rng.next_word32(), w) << ref.seed;

    SampleRng pairs = rng_from_seed(ref.seed);
    EXPECT_EQ(pairs.next_word64(), std::uint64_t{ref.first[1]} << 32 | ref.first[0]);
    for (int k = 2; k < 63; ++k) pairs.next_word32();
    EXPECT_EQ(pairs.next_word64(), ref.u64_at_63) << "pair straddling a refill";
    EXPECT_EQ(pairs.next_word32(), ref.late[5]);

    SampleRng deep = rng_from_seed(ref.seed);
    for (int k = 0; k < 16384; ++k) deep.next_word32();
    EXPECT_EQ(deep.next_word32(), ref.word_16384);
    EXPECT_EQ(deep.blocks(), 1028u);
  }
}

// Catches per-thread entropy generators handing out the same key twice,
// including across the rekeying after 1024 blocks.
TEST(SampleRng, EntropyKeysDiffer) {
  std::unordered_set<std::uint64_t> seen;
  for (int k = 0; k < 5000; ++k) {
    SampleRng rng = rng_from_entropy();
    EXPECT_TRUE(seen.insert(rng.next_word64()).second);
  }
}

// Catches seed + w * golden instead of (seed + w) * golden, or another mix.
// Expected values: the first outputs of Vigna's SplitMix64 seeded with 0.
TEST(WorkerSeed, SplitMixOfSeedPlusWorker) {
  EXPECT_EQ(worker_seed(0, 0), 0u);
  EXPECT_EQ(worker_seed(0, 1), 0xe220a8397b1dcdafu);
  EXPECT_EQ(worker_seed(0, 2), 0x6e789e6aa1b965f4u);
  EXPECT_EQ(worker_seed(1, 1), 0x6e789e6aa1b965f4u);
  EXPECT_EQ(worker_seed(0, 3), 0x06c45d188009454fu);
}

// Catches a wrong widening multiply, threshold or correction word, and draws
// that skip the word for m = 1. Expected values from an arbitrary-precision
// evaluation of the draw over the reference words of seed 0.
TEST(DrawBelow, ValuesAndWordConsumption) {
  struct Case {
    std::uint64_t m;
    std::uint64_t value;
    std::size_t words;
    bool wide;
  };
  const Case cases[] = {
      {1, 0, 1, false},
      {10, 8, 1, false},
      {3000000000, 2404377847, 1, false},
      {140480, 112589, 2, false},  // correction word, carry
      {2147483651, 1721120706, 2, false},
      {1, 0, 2, true},
      {std::uint64_t{1} << 32, 3140108210, 2, false},  // 64-bit words from 2^32 on
      {0xffffffffffffffff, 13486662071293341567u, 4, false},
      {0x8000000000003039, 6743331035646679809u, 2, false},
  };
  for (const Case& c : cases) {
    SampleRng rng = rng_from_seed(0);
    EXPECT_EQ(c.wide ? draw_below_wide(rng, c.m) : draw_below(rng, c.m), c.value) << c.m;
    EXPECT_EQ(words_used(rng, 0), c.words) << c.m;
  }
  // Every value in range, roughly uniform.
  SampleRng rng = rng_from_seed(9);
  std::array<int, 7> hits{};
  for (int k = 0; k < 70000; ++k) ++hits[draw_below(rng, 7)];
  for (int h : hits) EXPECT_NEAR(h, 10000, 500);
}

// Catches a skipped draw when one node is available, or log-probabilities
// summed in another order than -ln a_1 - ln a_2 - ...
TEST(SampleOrder, WordsAndLogProbability) {
  SampleRng rng = rng_from_seed(3);
  Dag single = make_dag(1, {});
  SamplerScratch scratch1(1);
  EXPECT_EQ(sample_order(single, in_degrees(single), scratch1, rng), 0.0);
  EXPECT_EQ(scratch1.order, std::vector<NodeId>{0});
  EXPECT_EQ(words_used(rng, 3), 1u);

  Dag line = chain(6);
  SamplerScratch scratch6(6);
  rng = rng_from_seed(3);
  EXPECT_EQ(sample_order(line, in_degrees(line), scratch6, rng), 0.0);
  EXPECT_EQ(scratch6.order, (std::vector<NodeId>{0, 1, 2, 3, 4, 5}));
  EXPECT_EQ(words_used(rng, 3), 6u);

  Dag isolated = make_dag(6, {});
  double expected = 0.0;
  for (int a = 6; a >= 1; --a) expected -= std::log(static_cast<double>(a));
  EXPECT_EQ(sample_order(isolated, in_degrees(isolated), scratch6, rng), expected);
}

// Catches a log-probability that does not match the distribution the sampler
// actually draws from, or orders that break an edge.
TEST(SampleOrder, FrequenciesMatchLogProbability) {
  const Dag g = make_dag(4, {{0, 1}, {0, 2}, {3, 2}});
  SampleRng rng = rng_from_seed(11);
  SamplerScratch scratch(4);
  const auto degree = in_degrees(g);
  std::map<std::vector<NodeId>, std::pair<int, double>> seen;
  const int draws = 40000;
  for (int k = 0; k < draws; ++k) {
    const double logq = sample_order(g, degree, scratch, rng);
    auto& [count, q] = seen[scratch.order];
    ++count;
    q = logq;
  }
  for (const auto& [order, entry] : seen) {
    std::vector<std::size_t> pos(4);
    for (std::size_t t = 0; t < 4; ++t) pos[order[t]] = t;
    EXPECT_TRUE(pos[0] < pos[1] && pos[0] < pos[2] && pos[3] < pos[2]);
    EXPECT_NEAR(entry.first / double(draws), std::exp(entry.second), 0.01);
  }
  EXPECT_EQ(seen.size(), 5u);  // the linear extensions of g
}

// Catches a uniform sampler that is not uniform, or that consumes words when
// only one order is left.
TEST(SampleUniformOrder, UniformAndFrugal) {
  const Dag g = make_dag(4, {{0, 1}, {0, 2}, {3, 2}});
  const auto pm = parent_masks_of(g);
  CompletionMemo memo;
  SampleRng rng = rng_from_seed(5);
  std::vector<NodeId> order;
  std::map<std::vector<NodeId>, int> seen;
  for (int k = 0; k < 50000; ++k) {
    ASSERT_THAT(sample_uniform_order(4, pm, memo, rng, order), IsOk());
    ++seen[order];
  }
  ASSERT_EQ(seen.size(), 5u);
  for (const auto& [o, count] : seen) EXPECT_NEAR(count, 10000, 400);

  for (const Dag& h : {make_dag(1, {}), chain(9)}) {
    CompletionMemo m;
    rng = rng_from_seed(5);
    ASSERT_THAT(sample_uniform_order(h.n_nodes(), parent_masks_of(h), m, rng, order), IsOk());
    EXPECT_EQ(order.size(), h.n_nodes());
    EXPECT_TRUE(std::is_sorted(order.begin(), order.end()));
    EXPECT_EQ(words_used(rng, 5), 0u);
  }
}

// Catches a walk that skips the empty coalition or mis-attributes a change.
TEST(PrefixContributions, EmptySetFirstThenEachPrefix) {
  std::vector<std::uint64_t> asked;
  auto value = [&](std::uint64_t mask) -> Result<double> {
    asked.push_back(mask);
    return static_cast<double>(mask * mask);
  };
  std::vector<std::pair<NodeId, double>> got;
  const std::vector<NodeId> order{2, 0, 1};
  ASSERT_THAT(
      prefix_contributions(order, value, [&](NodeId i, double d) { got.push_back({i, d}); }),
      IsOk());
  EXPECT_EQ(asked, (std::vector<std::uint64_t>{0, 0b100, 0b101, 0b111}));
  EXPECT_EQ(got, (std::vector<std::pair<NodeId, double>>{{2, 16}, {0, 9}, {1, 24}}));
}

// Catches a batch call that is unsorted, repeats coalitions, asks for cached
// ones, or stores values of a result of the wrong length.
TEST(EvaluateBatch, OneSortedCallOfUncachedCoalitions) {
  OrderBatch batch(3);
  batch.add(std::vector<NodeId>{2, 0, 1}, 0.0);
  batch.add(std::vector<NodeId>{0, 2, 1}, 0.0);
  ValueCache cache{{0b001, 7.0}};
  testing::RecordingBatchOracle oracle(testing::on_words([](std::uint64_t m) { return m * 1.0; }));
  ASSERT_THAT(evaluate_batch(batch, cache, oracle), IsOk());
  ASSERT_EQ(oracle.calls().size(), 1u);
  std::vector<std::uint64_t> asked;
  for (const auto& set : oracle.calls()[0]) asked.push_back(set.at(0));
  EXPECT_EQ(asked, (std::vector<std::uint64_t>{0b000, 0b100, 0b101, 0b111}));
  EXPECT_EQ(cache.size(), 5u);
  EXPECT_EQ(cache.at(0b001), 7.0);
  EXPECT_EQ(cache.at(0b101), 5.0);

  ASSERT_THAT(evaluate_batch(batch, cache, oracle), IsOk());
  EXPECT_EQ(oracle.calls().size(), 1u) << "a fully cached batch makes no call";

  for (int extra : {1, -1}) {
    ValueCache fresh;
    testing::RecordingBatchOracle wrong(testing::on_words([](std::uint64_t) { return 0.0; }),
                                        extra);
    EXPECT_THAT(evaluate_batch(batch, fresh, wrong),
                FailsWith(Kind::kValueFunction, "value function error: value_fn_batch returned " +
                                                    std::to_string(5 + extra) +
                                                    " values for 5 coalitions"));
    EXPECT_TRUE(fresh.empty());
  }
}

}  // namespace
}  // namespace morvend

#include "dag_dp_sparse/dag_dp_sparse.hpp"

#include <cmath>
#include <deque>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "asv/completion_count.hpp"
#include "asv/ideal_levels.hpp"
#include "common/engines.hpp"
#include "common/graphs.hpp"
#include "common/oracles.hpp"
#include "common/result_matchers.hpp"

namespace morvend {
namespace {

using testing::chain;
using ::testing::Not;
using testing::FailsWith;
using testing::IsOk;
using Kind = AsvError::Kind;
using testing::make_dag;
using testing::RecordingOracle;
using testing::state_of;

// The forward pass exactly as its definition states it: a FIFO breadth-first
// search over a hash map, reporting the first overflow or memory trip.
std::string reference_forward_error(const std::vector<std::uint64_t>& pm, std::uint64_t limit) {
  boost::unordered_flat_map<std::uint64_t, std::uint64_t> count{{0, 1}};
  std::deque<std::uint64_t> queue{0};
  while (!queue.empty()) {
    const std::uint64_t s = queue.front();
    queue.pop_front();
    const std::uint64_t q = count[s];
    for (std::size_t x = 0; x < pm.size(); ++x) {
      const std::uint64_t bit = std::uint64_t{1} << x;
      if ((s & bit) || (pm[x] & ~s)) continue;
      auto [it, is_new] = count.try_emplace(s | bit, 0);
      if (__builtin_add_overflow(it->second, q, &it->second)) {
        return count_overflow("dp_fwd", s | bit).message();
      }
      if (is_new) {
        queue.push_back(s | bit);
        if (80 * count.size() > limit) return "memory after " + std::to_string(count.size());
      }
    }
  }
  return "<ok>";
}

// Catches the level sweep and the hash-set definition disagreeing on counts.
TEST(IdealLevels, CountsMatchBruteForce) {
  for (std::uint64_t seed = 0; seed < 20; ++seed) {
    Dag g = testing::random_dag(4 + seed % 12, 0.2, seed);
    const auto pm = parent_masks_of(g);
    const std::uint64_t ideals = testing::order_ideals(g).size();
    EXPECT_EQ(ideals_at_most(pm, ideals), true) << seed;
    EXPECT_EQ(ideals_at_most(pm, ideals - 1), false) << seed;
  }
  EXPECT_EQ(
      count_linear_extensions(parent_masks_of(make_dag(4, {{0, 1}, {0, 2}, {1, 3}, {2, 3}})), 100),
      2u);
  EXPECT_EQ(count_linear_extensions(parent_masks_of(make_dag(10, {})), 3628800), 3628800u);
  EXPECT_EQ(*count_linear_extensions(parent_masks_of(make_dag(10, {})), 3628799), std::nullopt);
  EXPECT_EQ(*count_linear_extensions(parent_masks_of(make_dag(64, {})), 1000), std::nullopt);
  EXPECT_EQ(count_linear_extensions(parent_masks_of(chain(64)), 1), 1u);
}

// Catches wrong diagnostics or a chain of 63 nodes refused for its width.
TEST(SparseDp, ChainOf63) {
  auto game = testing::random_game(2);
  RecordingOracle oracle(game);
  Result<AsvResult> r = exact_dag_sparse(state_of(chain(63)), oracle, {.max_nodes = 63});
  ASSERT_THAT(r, IsOk());
  EXPECT_EQ(oracle.calls().size(), 64u);
  EXPECT_EQ(r->n_samples, 64u);
  EXPECT_EQ(r->n_order_ideals, 64u);
  EXPECT_EQ(r->state_ratio, 64.0 / 9223372036854775808.0);
  EXPECT_EQ(r->memory_mb, 80.0 * 127 / 1048576.0);
  EXPECT_EQ(r->values[62], game(~std::uint64_t{0} >> 1) - game(~std::uint64_t{0} >> 2));
}

// Catches the node checks in the wrong order or after work has started.
TEST(SparseDp, NodeLimits) {
  RecordingOracle oracle(testing::random_game(0));
  EXPECT_THAT(exact_dag_sparse(state_of(chain(28)), oracle, {}), IsOk());
  EXPECT_THAT(exact_dag_sparse(state_of(chain(29)), oracle, {}),
              FailsWith(Kind::kInvalidConfiguration,
                        "invalid configuration: exact_dag_sparse: n=29 exceeds max_nodes=28; use "
                        "approximate method for large DAGs"));
  oracle = RecordingOracle(testing::random_game(0));
  EXPECT_THAT(exact_dag_sparse(state_of(chain(64)), oracle, {.max_nodes = 64}),
              FailsWith(Kind::kInvalidConfiguration,
                        "invalid configuration: bitmask representation requires n \xe2\x89\xa4 "
                        "63 for sparse DP, got 64"));
  EXPECT_TRUE(oracle.calls().empty());
}

// Catches the memory limit being checked late, or counting the wrong entries.
TEST(SparseDp, MemoryLimit) {
  RecordingOracle oracle(testing::random_game(0));
  // 8 isolated nodes have 256 ideals; a limit of 100 entries trips at the 101st.
  Result<AsvResult> r =
      exact_dag_sparse(state_of(make_dag(8, {})), oracle, {.max_nodes = 28, .memory_limit = 8000});
  EXPECT_THAT(r,
              FailsWith(Kind::kInvalidConfiguration,
                        "invalid configuration: exact_dag_sparse: exceeded memory limit (8000 "
                        "bytes) after 101 order ideals; try approximate method"));
  EXPECT_EQ(reference_forward_error(parent_masks_of(make_dag(8, {})), 8000), "memory after 101");
  EXPECT_TRUE(oracle.calls().empty());
  // Exactly at the limit is accepted.
  EXPECT_THAT(exact_dag_sparse(state_of(make_dag(8, {})), oracle,
                               {.max_nodes = 28, .memory_limit = 256 * 80}),
              IsOk());
}

// Catches an overflow reported for another ideal than the breadth-first
// search would meet first, on graphs whose orders exceed 2^64.
TEST(SparseDp, OverflowNamesTheFirstIdealOfTheSearch) {
  std::vector<Dag> graphs;
  graphs.push_back(make_dag(21, {}));
  graphs.push_back(make_dag(22, {}));
  graphs.push_back(make_dag(23, {{22, 0}, {5, 9}}));
  for (const Dag& g : graphs) {
    RecordingOracle oracle(testing::random_game(0));
    Result<AsvResult> r = exact_dag_sparse(state_of(g), oracle, {});
    ASSERT_THAT(r, Not(IsOk()));
    EXPECT_EQ(r.error().message(), reference_forward_error(parent_masks_of(g), 1ull << 31));
    EXPECT_TRUE(oracle.calls().empty());
  }
  EXPECT_EQ(count_overflow("dp_fwd", 0b101).message(),
            "linear extension count overflowed u64: dp_fwd[0b101] overflowed u64 \xe2\x80\x94 use "
            "approx for this DAG");
}

}  // namespace
}  // namespace morvend

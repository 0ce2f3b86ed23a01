#include "topo/topo.hpp"

#include <algorithm>
#include <numeric>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "common/graphs.hpp"
#include "common/result_matchers.hpp"

namespace morvend {
namespace {

using Layers = std::vector<std::vector<NodeId>>;
using ::testing::Not;
using testing::FailsWith;
using testing::IsOk;
using Kind = AsvError::Kind;
using testing::make_dag;

// The layering as the definition states it: rescan every node per layer.
Layers rescan_layers(const Dag& g) {
  const std::size_t n = g.n_nodes();
  std::vector<std::size_t> remaining(n);
  std::vector<char> placed(n, 0);
  for (NodeId v = 0; v < n; ++v) remaining[v] = g.parents(v).size();
  Layers out;
  while (true) {
    std::vector<NodeId> layer;
    for (NodeId v = 0; v < n; ++v) {
      if (!placed[v] && remaining[v] == 0) layer.push_back(v);
    }
    if (layer.empty()) return out;
    for (NodeId v : layer) placed[v] = 1;
    for (NodeId v : layer) {
      for (NodeId c : g.children(v)) --remaining[c];
    }
    out.push_back(layer);
  }
}

// Catches a frontier layering that differs from the per-layer rescan.
TEST(TopologicalLayers, MatchesRescanOnRandomGraphs) {
  for (std::uint64_t seed = 0; seed < 40; ++seed) {
    Dag g = testing::random_dag(30, 0.12, seed);
    EXPECT_EQ(topological_layers(g), rescan_layers(g)) << "seed " << seed;
  }
  // With a cycle, the nodes on and below it are left out in both.
  Dag cyc = make_dag(5, {{0, 1}, {1, 2}, {2, 1}, {2, 3}});
  EXPECT_EQ(topological_layers(cyc), rescan_layers(cyc));
  EXPECT_EQ(topological_layers(cyc), (Layers{{0, 4}}));
}

// Catches flat layers whose offsets or order differ from the nested ones.
TEST(TopologicalLayers, FlatFormMatches) {
  for (std::uint64_t seed = 0; seed < 20; ++seed) {
    const Dag g = testing::random_dag(40, 0.08, seed);
    const FlatLayers flat = topological_layers_flat(g);
    const Layers nested = topological_layers(g);
    ASSERT_EQ(flat.size(), nested.size());
    for (std::size_t k = 0; k < nested.size(); ++k) {
      EXPECT_EQ(Layers::value_type(flat.ids.begin() + flat.starts[k],
                                   flat.ids.begin() + flat.starts[k + 1]),
                nested[k]);
    }
  }
  EXPECT_EQ(topological_layers_flat(Dag()).size(), 0u);
}

// Catches layers by shortest instead of longest path.
TEST(TopologicalLayers, LongestPath) {
  EXPECT_EQ(topological_layers(make_dag(3, {{0, 1}, {1, 2}, {0, 2}})), (Layers{{0}, {1}, {2}}));
  EXPECT_EQ(topological_layers(make_dag(3, {})), (Layers{{0, 1, 2}}));
  EXPECT_EQ(topological_layers(Dag()), Layers{});
}

// Catches a missed path, the start node in its own set, or hangs on cycles.
TEST(Reachability, AncestorsAndDescendants) {
  Dag g = make_dag(5, {{0, 1}, {1, 2}, {3, 2}, {2, 4}});
  auto sorted = [](std::vector<NodeId> v) {
    std::sort(v.begin(), v.end());
    return v;
  };
  EXPECT_EQ(sorted(ancestors(g, 4)), (std::vector<NodeId>{0, 1, 2, 3}));
  EXPECT_EQ(sorted(descendants(g, 0)), (std::vector<NodeId>{1, 2, 4}));
  EXPECT_TRUE(ancestors(g, 0).empty());
  EXPECT_TRUE(descendants(g, 4).empty());
  Dag cyc = make_dag(3, {{0, 1}, {1, 2}, {2, 1}});
  EXPECT_EQ(sorted(descendants(cyc, 1)), (std::vector<NodeId>{1, 2}));
  EXPECT_EQ(sorted(ancestors(cyc, 0)), std::vector<NodeId>{});
}

// Catches a wrong root count or a multi-parent node passing as a tree.
TEST(RootedTree, Test) {
  EXPECT_EQ(is_rooted_tree(make_dag(4, {{2, 0}, {2, 1}, {0, 3}})).value(), 2u);
  EXPECT_EQ(is_rooted_tree(make_dag(1, {})).value(), 0u);
  EXPECT_THAT(is_rooted_tree(Dag()),
              FailsWith(Kind::kNotRootedTree, "graph is not a rooted directed tree"));
  EXPECT_THAT(is_rooted_tree(make_dag(2, {})), Not(IsOk()));
  EXPECT_THAT(is_rooted_tree(make_dag(3, {{0, 2}, {1, 2}})), Not(IsOk()));
  EXPECT_THAT(is_rooted_tree(make_dag(3, {{0, 1}, {0, 2}, {1, 2}})), Not(IsOk()));
}

std::uint64_t brute_force_count(const Dag& g) {
  std::vector<NodeId> perm(g.n_nodes());
  std::iota(perm.begin(), perm.end(), 0);
  std::uint64_t count = 0;
  do {
    std::vector<std::size_t> pos(perm.size());
    for (std::size_t i = 0; i < perm.size(); ++i) pos[perm[i]] = i;
    bool ok = true;
    for (NodeId u = 0; u < g.n_nodes() && ok; ++u) {
      for (NodeId v : g.children(u)) ok = ok && pos[u] < pos[v];
    }
    count += ok;
  } while (std::next_permutation(perm.begin(), perm.end()));
  return count;
}

// Catches orders listed twice, missed, out of lexicographic order or invalid.
TEST(LinearExtensions, AllOfThemInLexicographicOrder) {
  auto diamond = all_linear_extensions(make_dag(4, {{0, 1}, {0, 2}, {1, 3}, {2, 3}}));
  EXPECT_EQ(diamond.value(), (Layers{{0, 1, 2, 3}, {0, 2, 1, 3}}));
  auto three = all_linear_extensions(make_dag(3, {}));
  EXPECT_EQ(three.value(),
            (Layers{{0, 1, 2}, {0, 2, 1}, {1, 0, 2}, {1, 2, 0}, {2, 0, 1}, {2, 1, 0}}));
  for (std::uint64_t seed = 0; seed < 20; ++seed) {
    Dag g = testing::random_dag(7, 0.3, seed);
    auto orders = all_linear_extensions(g).value();
    EXPECT_EQ(orders.size(), brute_force_count(g));
    EXPECT_TRUE(std::is_sorted(orders.begin(), orders.end()));
    EXPECT_EQ(std::adjacent_find(orders.begin(), orders.end()), orders.end());
  }
  EXPECT_THAT(all_linear_extensions(Dag()), FailsWith(Kind::kEmptyGraph, "graph is empty"));
  EXPECT_THAT(all_linear_extensions(make_dag(2, {{0, 1}, {1, 0}})),
              FailsWith(Kind::kCycle, "cycle detected in graph"));
}

// Catches a visitor error that does not stop the walk.
TEST(LinearExtensions, VisitorErrorStopsTheWalk) {
  int seen = 0;
  Result<void> r = for_each_linear_extension(make_dag(4, {}), [&](std::span<const NodeId>) {
    return ++seen == 3 ? Result<void>(std::unexpected(AsvError::cycle())) : Result<void>{};
  });
  EXPECT_THAT(r, FailsWith(Kind::kCycle, "cycle detected in graph"));
  EXPECT_EQ(seen, 3);
}

// Catches summary fields that drift from their definitions.
TEST(Inspect, Summary) {
  StructuralSummary s = inspect(make_dag(3, {{0, 1}, {1, 2}, {0, 2}}));
  EXPECT_EQ(s.n_nodes, 3u);
  EXPECT_EQ(s.n_edges, 3u);
  EXPECT_TRUE(s.is_dag);
  EXPECT_FALSE(s.is_rooted_tree);
  EXPECT_EQ(s.n_roots, 1u);
  EXPECT_EQ(s.n_leaves, 1u);
  EXPECT_EQ(s.max_depth, 2u);
  EXPECT_EQ(s.recommended_method, "exact");
  EXPECT_EQ(s.estimated_dense_states, 8u);

  StructuralSummary empty = inspect(Dag());
  EXPECT_TRUE(empty.is_dag);
  EXPECT_FALSE(empty.is_rooted_tree);
  EXPECT_EQ(empty.max_depth, 0u);
  EXPECT_EQ(empty.recommended_method, "exact");
  EXPECT_EQ(empty.estimated_dense_states, 1u);

  StructuralSummary isolated = inspect(make_dag(5, {}));
  EXPECT_EQ(isolated.n_roots, 5u);
  EXPECT_EQ(isolated.n_leaves, 5u);
  EXPECT_TRUE(inspect(make_dag(1, {})).is_rooted_tree);
}

// Catches a wrong rule order in the recommendation or a shift overflow at n = 63, 64.
TEST(Inspect, RecommendedMethodAndDenseStates) {
  EXPECT_EQ(inspect(testing::chain(8)).recommended_method, "exact");  // a tree, but n < 9
  EXPECT_EQ(inspect(testing::chain(100)).recommended_method, "exact_tree");
  EXPECT_EQ(inspect(make_dag(20, {})).recommended_method, "exact_dag");
  EXPECT_EQ(inspect(make_dag(21, {})).recommended_method, "approx");
  EXPECT_EQ(inspect(make_dag(63, {})).estimated_dense_states, 9223372036854775808ull);
  EXPECT_EQ(inspect(make_dag(64, {})).estimated_dense_states, std::nullopt);
}

// Catches a cyclic graph reported as a DAG or as a rooted tree.
TEST(Inspect, CyclesAreReported) {
  // A root plus a separate two-node cycle passes the bare rooted-tree test.
  Dag g = make_dag(3, {{1, 2}, {2, 1}});
  EXPECT_THAT(is_rooted_tree(g), IsOk());
  StructuralSummary s = inspect(g);
  EXPECT_FALSE(s.is_dag);
  EXPECT_FALSE(s.is_rooted_tree);
  EXPECT_EQ(s.max_depth, 0u);
}

// Catches recursion or quadratic work on long chains (would time out or overflow).
TEST(Topo, MillionNodeChain) {
  const std::size_t n = 1'000'000;
  Dag g = testing::chain(n);
  EXPECT_EQ(topological_layers(g).size(), n);
  EXPECT_EQ(ancestors(g, static_cast<NodeId>(n - 1)).size(), n - 1);
  StructuralSummary s = inspect(g);
  EXPECT_EQ(s.max_depth, n - 1);
  EXPECT_TRUE(s.is_rooted_tree);
}

}  // namespace
}  // namespace morvend

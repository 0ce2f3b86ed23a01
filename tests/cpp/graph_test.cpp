#include "graph/dag.hpp"

#include <gtest/gtest.h>

#include "common/graphs.hpp"
#include "graph/asv_error.hpp"

namespace morvend {
namespace {

using testing::error_text;

// Catches a drifted message text or a wrong rendering of ids and numbers.
TEST(AsvError, EveryKindHasItsExactText) {
  EXPECT_EQ(AsvError::cycle().message(), "cycle detected in graph");
  EXPECT_EQ(AsvError::invalid_node_id(7).message(), "invalid node id: NodeId(7)");
  EXPECT_EQ(AsvError::self_loop(0).message(), "self-loop on node NodeId(0)");
  EXPECT_EQ(AsvError::duplicate_edge(0, 1).message(), "duplicate edge NodeId(0) -> NodeId(1)");
  EXPECT_EQ(AsvError::empty_graph().message(), "graph is empty");
  EXPECT_EQ(AsvError::not_rooted_tree().message(), "graph is not a rooted directed tree");
  EXPECT_EQ(AsvError::value_function("ZeroDivisionError: division by zero").message(),
            "value function error: ZeroDivisionError: division by zero");
  EXPECT_EQ(AsvError::invalid_configuration("n_samples must be > 0").message(),
            "invalid configuration: n_samples must be > 0");
  EXPECT_EQ(AsvError::extension_count_overflow("dp_ind[0b11] overflowed u64").message(),
            "linear extension count overflowed u64: dp_ind[0b11] overflowed u64");
  EXPECT_EQ(AsvError::tree_budget_exceeded(16384, 50000, 245761, 200000).message(),
            "exact_tree: tree shape exceeds the feasibility budget (largest single "
            "side-sibling product 16384 vs budget 50000; estimated total work 245761 vs "
            "budget 200000); use exact_dag_sparse or approx");
  EXPECT_EQ(AsvError::conflicting_edge(1, 0).message(),
            "conflicting edge between NodeId(1) and NodeId(0): an edge with a different "
            "orientation already exists");
  EXPECT_EQ(AsvError::no_consistent_extension().message(),
            "PDAG has no consistent DAG extension (undirected edges can't be oriented "
            "without creating a cycle or a new v-structure)");
  EXPECT_EQ(AsvError::hull_no_fixed_point().message(),
            "d-convex hull computation did not reach a fixed point within the expected "
            "iteration bound; this indicates an implementation bug");
  // u64 numbers print in full, not truncated to 32 bits.
  EXPECT_NE(AsvError::tree_budget_exceeded(UINT64_MAX, 1, 2, 3)
                .message()
                .find("18446744073709551615 vs budget 1"),
            std::string::npos);
  EXPECT_EQ(AsvError::invalid_configuration("x").detail(), "x");
}

// Catches ids handed out twice or out of insertion order.
TEST(Dag, AddNodeIsGetOrInsert) {
  Dag g;
  EXPECT_EQ(g.add_node("b"), 0u);
  EXPECT_EQ(g.add_node(""), 1u);  // the empty name is an ordinary name
  EXPECT_EQ(g.add_node("b"), 0u);
  EXPECT_EQ(g.add_node(std::string("a\0b", 3)), 2u);  // embedded NUL is kept
  EXPECT_EQ(g.n_nodes(), 3u);
  EXPECT_EQ(g.node_id(""), 1u);
  EXPECT_EQ(g.node_id("a"), std::nullopt);
  EXPECT_EQ(g.name(2), std::string("a\0b", 3));
  EXPECT_EQ(g.n_edges(), 0u);
}

// Catches a wrong order of the checks or a partial insert on failure.
TEST(Dag, AddEdgeChecksInOrderAndChangesNothingOnFailure) {
  Dag g = testing::make_dag(2, {});
  EXPECT_EQ(error_text(g.add_edge(5, 5)), "self-loop on node NodeId(5)");  // before the id check
  EXPECT_EQ(error_text(g.add_edge(9, 0)), "invalid node id: NodeId(9)");
  EXPECT_EQ(error_text(g.add_edge(0, 9)), "invalid node id: NodeId(9)");
  MORVEND_ASSERT_OK(g.add_edge(0, 1));
  EXPECT_EQ(error_text(g.add_edge(0, 1)), "duplicate edge NodeId(0) -> NodeId(1)");
  EXPECT_EQ(g.n_edges(), 1u);
  EXPECT_EQ(g.children(0).size(), 1u);
  EXPECT_EQ(g.parents(1).size(), 1u);
  // The reverse edge is accepted; only validate sees the cycle.
  MORVEND_ASSERT_OK(g.add_edge(1, 0));
  EXPECT_EQ(error_text(g.validate()), "cycle detected in graph");
}

// Catches adjacency lists that lose insertion order in either direction.
TEST(Dag, AdjacencyKeepsInsertionOrder) {
  Dag g = testing::make_dag(4, {{0, 3}, {0, 1}, {2, 1}, {0, 2}});
  EXPECT_EQ(std::vector<NodeId>(g.children(0).begin(), g.children(0).end()),
            (std::vector<NodeId>{3, 1, 2}));
  EXPECT_EQ(std::vector<NodeId>(g.parents(1).begin(), g.parents(1).end()),
            (std::vector<NodeId>{0, 2}));
  EXPECT_EQ(g.n_edges(), 4u);
}

// Catches an out-of-range id surfacing as an AsvError or as memory corruption.
TEST(Dag, OutOfRangeIdIsAnInternalFault) {
  Dag g = testing::make_dag(1, {});
  EXPECT_THROW((void)g.children(1), InternalFault);
  EXPECT_THROW((void)g.parents(7), InternalFault);
  EXPECT_THROW((void)g.name(1), InternalFault);
}

// Catches EmptyGraph losing to Cycle, or isolated nodes being refused.
TEST(Dag, Validate) {
  EXPECT_EQ(error_text(Dag().validate()), "graph is empty");
  MORVEND_ASSERT_OK(testing::make_dag(3, {}).validate());
  Dag cyc = testing::make_dag(3, {{0, 1}, {1, 2}, {2, 0}});
  EXPECT_EQ(error_text(cyc.validate()), "cycle detected in graph");
  EXPECT_TRUE(has_cycle(cyc));
  EXPECT_FALSE(has_cycle(Dag()));
}

// Catches copies that share state with the original.
TEST(Dag, CopiesAreIndependent) {
  Dag a = testing::chain(3);
  Dag b = a;
  b.add_node("new");
  MORVEND_ASSERT_OK(b.add_edge(2, 0));
  EXPECT_EQ(a.n_nodes(), 3u);
  EXPECT_EQ(a.n_edges(), 2u);
  EXPECT_EQ(a.node_id("new"), std::nullopt);
  EXPECT_EQ(b.node_id("new"), 3u);
}

}  // namespace
}  // namespace morvend

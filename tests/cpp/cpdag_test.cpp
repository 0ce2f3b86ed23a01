#include "cpdag/cpdag.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <optional>
#include <random>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "common/graphs.hpp"
#include "common/interrupts.hpp"
#include "common/result_matchers.hpp"

namespace morvend {
namespace {

using Ids = std::vector<NodeId>;
using Edges = std::vector<std::pair<NodeId, NodeId>>;
using ::testing::HasSubstr;
using ::testing::Not;
using testing::FailsWith;
using testing::IsOk;
using Kind = AsvError::Kind;
using testing::make_cpdag;

template <class Span>
Ids ids(Span s) {
  return Ids(s.begin(), s.end());
}

bool has(const Ids& list, NodeId v) { return std::find(list.begin(), list.end(), v) != list.end(); }

Edges edges_of(const Dag& g) {
  Edges out;
  for (NodeId u = 0; u < g.n_nodes(); ++u) {
    for (NodeId v : g.children(u)) out.emplace_back(u, v);
  }
  return out;
}

// The extension as the definition states it: rescan from id 0 at every step,
// working lists edited in place, adjacency by linear search. The edge list
// in the order the Dag receives it, or nothing.
std::optional<Edges> reference_extension(const Cpdag& g) {
  const std::size_t n = g.n_nodes();
  std::vector<char> alive(n, 1);
  std::vector<Ids> work(n);
  Edges edges;
  for (NodeId u = 0; u < n; ++u) {
    work[u] = ids(g.undirected_neighbours(u));
    for (NodeId v : g.directed_children(u)) edges.emplace_back(u, v);
  }
  const auto adjacent = [&](NodeId y, NodeId z) {
    return has(ids(g.directed_children(y)), z) || has(ids(g.directed_children(z)), y) ||
           has(ids(g.undirected_neighbours(y)), z);
  };
  for (std::size_t step = 0; step < n; ++step) {
    std::optional<NodeId> pick;
    for (NodeId x = 0; x < n && !pick; ++x) {
      if (!alive[x]) continue;
      bool ok = std::none_of(g.directed_children(x).begin(), g.directed_children(x).end(),
                             [&](NodeId c) { return alive[c]; });
      for (NodeId y : work[x]) {
        Ids others;
        for (NodeId p : g.directed_parents(x)) {
          if (alive[p]) others.push_back(p);
        }
        for (NodeId z : work[x]) {
          if (z != y) others.push_back(z);
        }
        for (NodeId z : others) ok = ok && adjacent(y, z);
      }
      if (ok) pick = x;
    }
    if (!pick) return std::nullopt;
    const NodeId x = *pick;
    for (NodeId y : work[x]) {
      edges.emplace_back(y, x);
      std::erase(work[y], x);
    }
    work[x].clear();
    alive[x] = 0;
  }
  return edges;
}

// is_consistent_extension: `dag` keeps every directed edge of `g`, orients
// every undirected one, has no other edge, no cycle, and no v-structure that
// is not already directed in `g`.
bool is_consistent_extension(const Cpdag& g, const Dag& dag) {
  const std::size_t n = g.n_nodes();
  if (dag.n_nodes() != n || dag.names() != g.names()) return false;
  if (dag.n_edges() != g.n_directed_edges() + g.n_undirected_edges()) return false;
  if (has_cycle(dag)) return false;
  for (NodeId u = 0; u < n; ++u) {
    for (NodeId v : g.directed_children(u)) {
      if (!has(ids(dag.children(u)), v)) return false;
    }
    for (NodeId v : g.undirected_neighbours(u)) {
      if (!has(ids(dag.children(u)), v) && !has(ids(dag.children(v)), u)) return false;
    }
  }
  const auto adjacent = [&](NodeId a, NodeId b) {
    return has(ids(dag.children(a)), b) || has(ids(dag.children(b)), a);
  };
  for (NodeId c = 0; c < n; ++c) {
    const Ids ps = ids(dag.parents(c));
    const Ids compelled = ids(g.directed_parents(c));
    for (std::size_t i = 0; i < ps.size(); ++i) {
      for (std::size_t j = i + 1; j < ps.size(); ++j) {
        if (adjacent(ps[i], ps[j])) continue;
        if (!has(compelled, ps[i]) || !has(compelled, ps[j])) return false;
      }
    }
  }
  return true;
}

// exists_extension: tries every orientation of the undirected edges.
bool exists_extension(const Cpdag& g) {
  Edges undirected;
  for (NodeId u = 0; u < g.n_nodes(); ++u) {
    for (NodeId v : g.undirected_neighbours(u)) {
      if (u < v) undirected.emplace_back(u, v);
    }
  }
  for (std::uint64_t mask = 0; mask < (std::uint64_t{1} << undirected.size()); ++mask) {
    Edges directed;
    for (NodeId u = 0; u < g.n_nodes(); ++u) {
      for (NodeId v : g.directed_children(u)) directed.emplace_back(u, v);
    }
    for (std::size_t k = 0; k < undirected.size(); ++k) {
      auto [a, b] = undirected[k];
      directed.emplace_back((mask >> k) & 1 ? std::pair{b, a} : std::pair{a, b});
    }
    if (is_consistent_extension(g, testing::make_dag(g.n_nodes(), directed))) return true;
  }
  return false;
}

// Catches a wrong order of the insertion checks or a partial insert.
TEST(Cpdag, InsertionChecksInOrder) {
  Cpdag g = make_cpdag(3, {}, {});
  EXPECT_THAT(g.add_directed_edge(7, 7), FailsWith(Kind::kSelfLoop, "self-loop on node NodeId(7)"));
  EXPECT_THAT(g.add_undirected_edge(1, 1),
              FailsWith(Kind::kSelfLoop, "self-loop on node NodeId(1)"));
  EXPECT_THAT(g.add_directed_edge(3, 0),
              FailsWith(Kind::kInvalidNodeId, "invalid node id: NodeId(3)"));
  EXPECT_THAT(g.add_undirected_edge(0, 4),
              FailsWith(Kind::kInvalidNodeId, "invalid node id: NodeId(4)"));
  ASSERT_THAT(g.add_directed_edge(0, 1), IsOk());
  EXPECT_THAT(g.add_directed_edge(0, 1),
              FailsWith(Kind::kDuplicateEdge, "duplicate edge NodeId(0) -> NodeId(1)"));
  const std::string conflict10 =
      "conflicting edge between NodeId(1) and NodeId(0): an edge with a different orientation "
      "already exists";
  EXPECT_THAT(g.add_directed_edge(1, 0), FailsWith(Kind::kConflictingEdge, conflict10));
  // The message names the ids in argument order.
  EXPECT_THAT(g.add_undirected_edge(1, 0), FailsWith(Kind::kConflictingEdge, conflict10));
  EXPECT_THAT(g.add_undirected_edge(0, 1),
              FailsWith(Kind::kConflictingEdge, HasSubstr("conflicting edge")));
  ASSERT_THAT(g.add_undirected_edge(1, 2), IsOk());
  EXPECT_THAT(g.add_undirected_edge(2, 1),
              FailsWith(Kind::kDuplicateEdge, "duplicate edge NodeId(2) -> NodeId(1)"));
  EXPECT_THAT(g.add_directed_edge(2, 1),
              FailsWith(Kind::kConflictingEdge,
                        "conflicting edge between NodeId(2) and NodeId(1): an edge with a "
                        "different orientation already exists"));
  EXPECT_EQ(g.n_directed_edges(), 1u);
  EXPECT_EQ(g.n_undirected_edges(), 1u);
  EXPECT_EQ(ids(g.directed_children(0)), (Ids{1}));
  EXPECT_EQ(ids(g.directed_parents(1)), (Ids{0}));
  EXPECT_EQ(ids(g.undirected_neighbours(1)), (Ids{2}));
  EXPECT_EQ(ids(g.undirected_neighbours(2)), (Ids{1}));
  EXPECT_THROW((void)g.undirected_neighbours(3), InternalFault);
}

// Catches Cycle winning over EmptyGraph, undirected edges counted as a
// cycle, or a directed cycle passing.
TEST(Cpdag, ValidatePdag) {
  EXPECT_THAT(Cpdag().validate_pdag(), FailsWith(Kind::kEmptyGraph, "graph is empty"));
  ASSERT_THAT(make_cpdag(3, {}, {{0, 1}, {1, 2}, {2, 0}}).validate_pdag(), IsOk());
  const Cpdag cyc = make_cpdag(3, {{0, 1}, {1, 2}, {2, 0}}, {});
  EXPECT_THAT(cyc.validate_pdag(), FailsWith(Kind::kCycle, "cycle detected in graph"));
  EXPECT_THAT(validate_cpdag(cyc), FailsWith(Kind::kCycle, "cycle detected in graph"));
  EXPECT_THAT(consistent_extension(cyc),
              FailsWith(Kind::kNoConsistentExtension,
                        AsvError::no_consistent_extension().message()));
}

// Catches a wrong elimination order or orientation on the worked examples.
TEST(ConsistentExtension, WorkedExamples) {
  // a - b - c: a goes first (b -> a), then b (c -> b).
  const Dag path = consistent_extension(make_cpdag(3, {}, {{0, 1}, {1, 2}})).value();
  EXPECT_EQ(edges_of(path), (Edges{{1, 0}, {2, 1}}));
  const Dag v = consistent_extension(make_cpdag(3, {{0, 2}, {1, 2}}, {})).value();
  EXPECT_EQ(edges_of(v), (Edges{{0, 2}, {1, 2}}));
  const Cpdag square = make_cpdag(4, {}, {{0, 1}, {1, 2}, {2, 3}, {3, 0}});
  EXPECT_THAT(consistent_extension(square),
              FailsWith(Kind::kNoConsistentExtension,
                        "PDAG has no consistent DAG extension (undirected edges can't be "
                        "oriented without creating a cycle or a new v-structure)"));
  ASSERT_THAT(square.validate_pdag(), IsOk());
  EXPECT_THAT(validate_cpdag(square),
              FailsWith(Kind::kNoConsistentExtension,
                        AsvError::no_consistent_extension().message()));
  EXPECT_EQ(consistent_extension(make_cpdag(1, {}, {})).value().n_nodes(), 1u);
  EXPECT_THAT(consistent_extension(Cpdag()), FailsWith(Kind::kEmptyGraph, "graph is empty"));
  EXPECT_THAT(validate_cpdag(Cpdag()), FailsWith(Kind::kEmptyGraph, "graph is empty"));
}

// Catches adjacency lists out of the documented order: directed children
// first, then oriented edges in elimination order; parents by ascending
// tail, then the working-list order of the eliminated node.
TEST(ConsistentExtension, AdjacencyOrder) {
  // 0 -> 4 and 3 -> 0 directed; the triangle 0 - 1, 2 - 0, 1 - 2 undirected.
  // 1 goes first (0 -> 1, 2 -> 1), then 2 (0 -> 2), then 4, 0 and 3.
  const Cpdag g = make_cpdag(5, {{3, 0}, {0, 4}}, {{0, 1}, {2, 0}, {1, 2}});
  const Dag d = consistent_extension(g).value();
  EXPECT_EQ(ids(d.children(0)), (Ids{4, 1, 2}));
  EXPECT_EQ(ids(d.parents(1)), (Ids{0, 2}));
  EXPECT_EQ(ids(d.parents(0)), (Ids{3}));
  EXPECT_EQ(edges_of(d), (Edges{{0, 4}, {0, 1}, {0, 2}, {2, 1}, {3, 0}}));
}

// Catches any difference between the heap-driven elimination and the
// literal rescan: same success, same edges in the same order.
TEST(ConsistentExtension, MatchesLiteralRescanOnRandomPdags) {
  int extended = 0;
  for (std::uint64_t seed = 0; seed < 400; ++seed) {
    const Cpdag g = testing::random_pdag(2 + seed % 11, 0.3 + 0.05 * (seed % 5), 0.7, seed);
    const Result<Dag> got = consistent_extension(g);
    const std::optional<Edges> want = reference_extension(g);
    ASSERT_EQ(got.has_value(), want.has_value()) << "seed " << seed;
    if (!want) continue;
    ++extended;
    const Dag ref = testing::make_dag(g.n_nodes(), *want);
    ASSERT_EQ(edges_of(*got), edges_of(ref)) << "seed " << seed;
    for (NodeId v = 0; v < g.n_nodes(); ++v) {
      ASSERT_EQ(ids(got->parents(v)), ids(ref.parents(v))) << "seed " << seed;
    }
  }
  EXPECT_GT(extended, 100);
}

// Catches an extension that breaks its contract, and a refusal where an
// extension exists (checked against every orientation).
TEST(ConsistentExtension, PropertiesOnRandomPdags) {
  int extended = 0;
  for (std::uint64_t seed = 0; seed < 300; ++seed) {
    const Cpdag g = testing::random_pdag(3 + seed % 6, 0.45, 0.6, seed);
    const Result<Dag> r = consistent_extension(g);
    if (r) {
      ++extended;
      EXPECT_TRUE(is_consistent_extension(g, *r)) << "seed " << seed;
    } else {
      EXPECT_FALSE(exists_extension(g)) << "seed " << seed;
    }
  }
  EXPECT_GT(extended, 100);  // the sample must exercise both outcomes
  EXPECT_LT(extended, 300);
}

// Catches refusals on PDAGs built from a DAG by undirecting every edge that
// is in no v-structure: the DAG itself is an extension, so one must exist.
TEST(ConsistentExtension, PdagsOfRandomDagsAlwaysExtend) {
  for (std::uint64_t seed = 0; seed < 200; ++seed) {
    const Dag dag = testing::random_dag(4 + seed % 20, 0.25, seed);
    Edges directed, undirected;
    for (NodeId c = 0; c < dag.n_nodes(); ++c) {
      const Ids ps = ids(dag.parents(c));
      for (NodeId p : ps) {
        const bool in_v = std::any_of(ps.begin(), ps.end(), [&](NodeId q) {
          return q != p && !has(ids(dag.children(p)), q) && !has(ids(dag.children(q)), p);
        });
        (in_v ? directed : undirected).emplace_back(p, c);
      }
    }
    const Cpdag g = make_cpdag(dag.n_nodes(), directed, undirected);
    const Result<Dag> r = consistent_extension(g);
    ASSERT_THAT(r, IsOk()) << "seed " << seed;
    EXPECT_TRUE(is_consistent_extension(g, *r)) << "seed " << seed;
    ASSERT_THAT(validate_cpdag(g), IsOk());
  }
}

// Catches recursion or quadratic rescans: a long undirected path extends.
TEST(ConsistentExtension, LongPathExtendsQuickly) {
  const std::size_t n = 300000;
  Edges undirected;
  for (NodeId i = 0; i + 1 < n; ++i) undirected.emplace_back(i, i + 1);
  const Dag d = consistent_extension(make_cpdag(n, {}, undirected)).value();
  EXPECT_EQ(d.n_edges(), n - 1);
  EXPECT_EQ(ids(d.children(n - 1)), (Ids{static_cast<NodeId>(n - 2)}));
}

// Catches a hull taken in the PDAG itself rather than in an extension, and
// extension errors hidden behind hull errors.
TEST(CpdagStrongHull, UsesOneExtension) {
  // a -> c <- b compelled and c - d: the extension must orient c -> d (d -> c
  // would make the new v-structure a -> c <- d).
  const Cpdag g = make_cpdag(4, {{0, 2}, {1, 2}}, {{2, 3}});
  EXPECT_EQ(edges_of(consistent_extension(g).value()), (Edges{{0, 2}, {1, 2}, {2, 3}}));
  EXPECT_EQ(strong_d_convex_hull(g, Ids{0, 3}).value(), (Ids{0, 3, 2, 1}));
  const Cpdag square = make_cpdag(4, {}, {{0, 1}, {1, 2}, {2, 3}, {3, 0}});
  EXPECT_THAT(strong_d_convex_hull(square, Ids{9}),
              FailsWith(Kind::kNoConsistentExtension,
                        AsvError::no_consistent_extension().message()));
  EXPECT_THAT(strong_d_convex_hull(g, Ids{9}),
              FailsWith(Kind::kInvalidNodeId, "invalid node id: NodeId(9)"));
}

// Catches dropped edge kinds, edges to dropped nodes, or request order
// leaking into the ids.
TEST(CpdagInducedSubgraph, KeepsKindsAndSourceOrder) {
  // a -> b, b - c: {a, b} keeps a -> b and drops b - c.
  const Cpdag g = make_cpdag(3, {{0, 1}}, {{1, 2}});
  const Cpdag ab = induced_subgraph(g, Ids{1, 0}).value();
  EXPECT_EQ(ab.names(), (std::vector<std::string>{"0", "1"}));
  EXPECT_EQ(ids(ab.directed_children(0)), (Ids{1}));
  EXPECT_EQ(ab.n_undirected_edges(), 0u);
  const Cpdag bc = induced_subgraph(g, Ids{2, 1, 2}).value();
  EXPECT_EQ(bc.names(), (std::vector<std::string>{"1", "2"}));
  EXPECT_EQ(ids(bc.undirected_neighbours(0)), (Ids{1}));
  EXPECT_EQ(bc.n_directed_edges(), 0u);
  EXPECT_THAT(induced_subgraph(g, Ids{0, 3}),
              FailsWith(Kind::kInvalidNodeId, "invalid node id: NodeId(3)"));
}

// ---- interrupts -------------------------------------------------------------

using testing::cpu_seconds;
using testing::StopSource;

// An operation's outcome reduced to what the tests compare: the extension's
// edges, the hull, or nothing for a validation.
using Outcome = Result<std::vector<std::uint64_t>>;
using OutcomeFn = std::function<Outcome()>;

template <class T>
Outcome outcome(const Result<T>& r) {
  if (!r) return std::unexpected(r.error());
  std::vector<std::uint64_t> out;
  if constexpr (std::is_same_v<T, Dag>) {
    for (auto [u, v] : edges_of(*r)) out.push_back(std::uint64_t{u} << 32 | v);
  } else if constexpr (!std::is_void_v<T>) {
    out.assign(r->begin(), r->end());
  }
  return out;
}

bool interrupted(const Outcome& r) { return !r && r.error() == AsvError::interrupted(); }

// complete_cpdag: every pair undirected. Each node qualifies for elimination
// at once, after m^2/2 adjacency tests: m^3/2 in all.
Cpdag complete_cpdag(std::size_t m) {
  Edges undirected;
  for (NodeId i = 0; i < m; ++i) {
    for (NodeId j = i + 1; j < m; ++j) undirected.emplace_back(i, j);
  }
  return make_cpdag(m, {}, undirected);
}

// The operations that rest on the elimination: on `g`, the hull on `h`.
std::vector<std::pair<const char*, OutcomeFn>> eliminations(const Cpdag& g, const Cpdag& h) {
  return {
      {"extension", [&g] { return outcome(consistent_extension(g)); }},
      {"validate_cpdag", [&g] { return outcome(validate_cpdag(g)); }},
      {"strong hull", [&h] { return outcome(strong_d_convex_hull(h, Ids{0, 5})); }},
  };
}

// Catches an elimination that runs on for long without a check (one node's
// test alone is quadratic in its neighbours), and a stop that does not end it.
TEST(CpdagInterrupt, LongEliminationsStopPromptly) {
  const Cpdag g = complete_cpdag(1000);  // seconds for each
  for (const auto& [name, op] : eliminations(g, g)) testing::expect_stops_promptly(name, op);
}

// Catches checks that change an extension or hull, and state kept from a
// stopped run: stopped on each of its asks in turn, an operation fails with
// Interrupted alone until it finishes before the stop, with the result it
// has without any scope.
TEST(CpdagInterrupt, ChecksChangeNothing) {
  // Each takes some 0.1 s: a few stops each.
  const Cpdag g = complete_cpdag(300);
  const Cpdag h = complete_cpdag(200);
  for (const auto& [name, op] : eliminations(g, h)) {
    const Outcome want = op();
    ASSERT_THAT(want, IsOk()) << name;
    int stops = 0;
    for (int k = 1;; ++k) {
      StopSource stop = StopSource::on_ask(k);
      Outcome r;
      {
        InterruptScope scope(stop);
        r = op();
      }
      if (stop.stopped_at() < 0) {
        ASSERT_THAT(r, IsOk()) << name;
        EXPECT_EQ(*r, *want) << name;
        break;
      }
      ASSERT_THAT(r, FailsWith(Kind::kInterrupted)) << name << ", stopped on ask " << k;
      ++stops;
    }
    EXPECT_GE(stops, 1) << name;
  }
}

// Catches a step that drops a stop and goes on with what it has (a node
// taken for unqualified, a partial Dag), or turns it into another error,
// NoConsistentExtension above all. Under a stop flag set beforehand the
// first check fails; as the graphs grow, that check moves through every
// step: the first tests of all nodes, the eliminations, building the Dag.
// An operation is then Interrupted, or, too small to reach a check, exactly
// what it is without a scope, failures included.
TEST(CpdagInterrupt, AStopInAnyStepGivesInterruptedAlone) {
  std::vector<Cpdag> graphs;
  for (std::size_t len = 300; len <= 3000; len += 25) {
    Edges path;
    for (NodeId i = 0; i + 1 < len; ++i) path.emplace_back(i, i + 1);
    graphs.push_back(make_cpdag(len, {}, path));
  }
  for (std::size_t m = 10; m <= 60; m += 5) graphs.push_back(complete_cpdag(m));
  for (std::uint64_t seed = 0; seed < 100; ++seed) {
    graphs.push_back(testing::random_pdag(20 + seed % 100, 0.3, 0.8, seed));
  }
  int stopped = 0, refused = 0, runs = 0;
  for (std::size_t k = 0; k < graphs.size(); ++k) {
    for (const auto& [name, op] : eliminations(graphs[k], graphs[k])) {
      const Outcome want = op();
      const std::atomic<bool> stop{true};
      Outcome r;
      {
        InterruptScope scope(stop, nullptr);
        r = op();
      }
      ++runs;
      if (interrupted(r)) {
        ++stopped;
      } else if (want) {
        ASSERT_THAT(r, IsOk()) << name << ", graph " << k;
        ASSERT_EQ(*r, *want) << name << ", graph " << k;
      } else {
        ++refused;
        ASSERT_THAT(r, Not(IsOk())) << name << ", graph " << k;
        ASSERT_EQ(r.error(), want.error()) << name << ", graph " << k;
      }
      const Outcome again = op();
      ASSERT_EQ(again.has_value(), want.has_value()) << name << ", graph " << k;
      if (want) {
        ASSERT_EQ(*again, *want) << name << ", graph " << k;
      }
    }
  }
  EXPECT_GT(stopped, runs / 4);
  EXPECT_LT(stopped, runs * 3 / 4);
  EXPECT_GT(refused, 10);
}

// Catches the linear walks (validate_pdag, induced_subgraph) being deaf to a
// stop, or stopping when nothing asked them to.
TEST(CpdagInterrupt, LinearWalksStopWhenAsked) {
  Edges path, skips;
  for (NodeId i = 0; i + 1 < 20000; ++i) path.emplace_back(i, i + 1);
  for (NodeId i = 0; i + 2 < 20000; ++i) skips.emplace_back(i, i + 2);
  const Cpdag g = make_cpdag(20000, path, skips);
  Ids all(g.n_nodes());
  for (NodeId i = 0; i < g.n_nodes(); ++i) all[i] = i;
  std::atomic<bool> stop{true};
  InterruptScope scope(stop, nullptr);
  EXPECT_THAT(g.validate_pdag(), FailsWith(Kind::kInterrupted, "interrupted"));
  EXPECT_THAT(induced_subgraph(g, all), FailsWith(Kind::kInterrupted, "interrupted"));
  stop.store(false);
  ASSERT_THAT(g.validate_pdag(), IsOk());
  EXPECT_EQ(induced_subgraph(g, all).value().n_undirected_edges(), 19998u);
}

// Catches an undirected edge listed twice (once from each end) or with its
// ends out of id order, and directed edges listed by insertion.
TEST(Cpdag, EdgeListsGoByTailAndListUndirectedEdgesOnce) {
  const Cpdag g = testing::make_cpdag(5, {{3, 0}, {1, 2}}, {{4, 1}, {0, 2}, {2, 4}});
  EXPECT_EQ(directed_edge_list(g), (Edges{{1, 2}, {3, 0}}));
  EXPECT_EQ(undirected_edge_list(g), (Edges{{0, 2}, {1, 4}, {2, 4}}));
}

}  // namespace
}  // namespace morvend

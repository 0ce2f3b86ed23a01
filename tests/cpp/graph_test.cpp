#include "graph/dag.hpp"

#include <algorithm>
#include <atomic>
#include <random>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "common/graphs.hpp"
#include "common/interrupts.hpp"
#include "common/result_matchers.hpp"
#include "graph/asv_error.hpp"
#include "graph/interrupt.hpp"
#include "graph/interrupt_meter.hpp"
#include "graph/name_order.hpp"
#include "graph/node_list.hpp"
#include "graph/turn_lock.hpp"

namespace morvend {
namespace {

using ::testing::Not;
using testing::FailsWith;
using testing::IsOk;
using Kind = AsvError::Kind;

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
  // The self-loop check comes before the id check.
  EXPECT_THAT(g.add_edge(5, 5), FailsWith(Kind::kSelfLoop, "self-loop on node NodeId(5)"));
  EXPECT_THAT(g.add_edge(9, 0), FailsWith(Kind::kInvalidNodeId, "invalid node id: NodeId(9)"));
  EXPECT_THAT(g.add_edge(0, 9), FailsWith(Kind::kInvalidNodeId, "invalid node id: NodeId(9)"));
  ASSERT_THAT(g.add_edge(0, 1), IsOk());
  EXPECT_THAT(g.add_edge(0, 1),
              FailsWith(Kind::kDuplicateEdge, "duplicate edge NodeId(0) -> NodeId(1)"));
  EXPECT_EQ(g.n_edges(), 1u);
  EXPECT_EQ(g.children(0).size(), 1u);
  EXPECT_EQ(g.parents(1).size(), 1u);
  // The reverse edge is accepted; only validate sees the cycle.
  ASSERT_THAT(g.add_edge(1, 0), IsOk());
  EXPECT_THAT(g.validate(), FailsWith(Kind::kCycle, "cycle detected in graph"));
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
  EXPECT_THAT(Dag().validate(), FailsWith(Kind::kEmptyGraph, "graph is empty"));
  ASSERT_THAT(testing::make_dag(3, {}).validate(), IsOk());
  Dag cyc = testing::make_dag(3, {{0, 1}, {1, 2}, {2, 0}});
  EXPECT_THAT(cyc.validate(), FailsWith(Kind::kCycle, "cycle detected in graph"));
  EXPECT_TRUE(has_cycle(cyc));
  EXPECT_FALSE(has_cycle(Dag()));
}

// Catches copies that share state with the original.
TEST(Dag, CopiesAreIndependent) {
  Dag a = testing::chain(3);
  Dag b = a;
  b.add_node("new");
  ASSERT_THAT(b.add_edge(2, 0), IsOk());
  EXPECT_EQ(a.n_nodes(), 3u);
  EXPECT_EQ(a.n_edges(), 2u);
  EXPECT_EQ(a.node_id("new"), std::nullopt);
  EXPECT_EQ(b.node_id("new"), 3u);
}

// Catches a node list that loses or garbles ids where they move between its
// own room and the heap: growth, copies and moves either way, checked
// against std::vector after every step.
TEST(NodeList, BehavesAsAVectorAcrossItsInlineRoom) {
  std::vector<NodeList> lists(4);
  std::vector<std::vector<NodeId>> model(4);
  std::mt19937 rng(7);
  for (NodeId step = 0; step < 4000; ++step) {
    const std::size_t a = rng() % 4, b = rng() % 4;
    std::vector<NodeId>& m = model[a];
    switch (rng() % 8) {
      case 0:
        lists[a] = lists[b];
        m = model[b];
        break;
      case 1:
        if (a == b) break;  // a self-move leaves a std::vector unspecified
        lists[a] = std::move(lists[b]);
        m = std::move(model[b]);
        model[b].clear();
        break;
      case 2:
        lists[a] = NodeList(lists[b]);
        m = model[b];
        break;
      case 3:
        lists[a].append(lists[b]);  // from itself too
        m.insert(m.end(), model[b].begin(), model[b].end());
        break;
      case 4:
        lists[a].reserve(rng() % 12);
        break;
      case 5:
        if (m.size() < 40) break;  // keep the lists short enough to come back inline
        lists[a] = NodeList();
        m.clear();
        break;
      default:
        lists[a].push_back(step);
        m.push_back(step);
    }
    for (std::size_t i = 0; i < lists.size(); ++i) {
      ASSERT_EQ(std::vector<NodeId>(lists[i].begin(), lists[i].end()), model[i]) << step;
    }
  }
}

// Catches a name index that loses or confuses names once its table grows
// (ids must survive every rehash) or that treats prefixes, the empty name
// and names with NUL bytes as equal.
TEST(NameIndex, GetOrInsertThroughGrowth) {
  NameIndex index;
  const std::vector<std::string> odd = {"", std::string("a\0", 2), "a", std::string("a\0b", 3),
                                        "\xc3\xa9", "ab"};
  for (const std::string& name : odd) index.add(name);
  constexpr std::size_t kMany = 50000;
  for (std::size_t i = 0; i < kMany; ++i) index.add("n" + std::to_string(i));
  ASSERT_EQ(index.size(), odd.size() + kMany);
  for (NodeId id = 0; id < odd.size(); ++id) {
    EXPECT_EQ(index.find(odd[id]), id);
    EXPECT_EQ(index.add(odd[id]), id);  // present: no new id
  }
  for (std::size_t i = 0; i < kMany; i += 997) {
    const std::string name = "n" + std::to_string(i);
    EXPECT_EQ(index.find(name), odd.size() + i);
    EXPECT_EQ(index.find(name, index.hash(name)), odd.size() + i);
  }
  EXPECT_EQ(index.find("n" + std::to_string(kMany)), std::nullopt);
  EXPECT_EQ(index.find(std::string("\0", 1)), std::nullopt);
  EXPECT_EQ(index.size(), odd.size() + kMany);
}

// Catches a bulk look-up whose hashing ahead visits items out of order,
// skips the last ones, or keeps going after a refusal.
TEST(NameIndex, ForEachHashedVisitsInOrderAndStops) {
  NameIndex index;
  std::vector<std::string> names;
  for (int i = 0; i < 40; ++i) names.push_back("x" + std::to_string(i));
  std::vector<std::size_t> seen;
  EXPECT_TRUE(for_each_hashed(
      index, names.size(), [&](std::size_t i) { return std::string_view(names[i]); },
      [&](std::size_t i, std::uint64_t hash) {
        EXPECT_EQ(hash, index.hash(names[i]));
        EXPECT_EQ(index.add(names[i], hash), i);
        seen.push_back(i);
        return true;
      }));
  ASSERT_EQ(seen.size(), names.size());
  for (std::size_t i = 0; i < seen.size(); ++i) EXPECT_EQ(seen[i], i);
  std::size_t visits = 0;
  EXPECT_FALSE(for_each_hashed(
      index, names.size(), [&](std::size_t i) { return std::string_view(names[i]); },
      [&](std::size_t i, std::uint64_t) { return ++visits, i < 5; }));
  EXPECT_EQ(visits, 6u);
}

// Catches a look-up that loses repeats or order, or reports an unknown name
// other than the first.
TEST(NameIndex, FindAllGivesIdsOrTheFirstUnknown) {
  NameIndex index;
  for (const char* name : {"a", "b", "c"}) index.add(name);
  const auto find = [&](std::vector<std::string_view> names) {
    return find_all(index, names.size(), [&](std::size_t i) { return names[i]; });
  };
  EXPECT_EQ(find({"c", "a", "c"}), (std::vector<NodeId>{2, 0, 2}));
  EXPECT_EQ(find({}), std::vector<NodeId>{});
  EXPECT_EQ(find({"a", "x", "y"}).error(), 1u);
}

// Catches a bulk build that adds edges past a refused one, drops the nodes
// made before the refusal, or tells the caller the wrong ids.
TEST(Dag, AddNamedEdgesStopsAtTheFirstRefusal) {
  const std::vector<std::string_view> names = {"p", "q", "q", "r", "s", "s", "r", "p"};
  Dag g;
  std::vector<NodeId> heard;
  const Result<void> r = add_named_edges(
      g, &Dag::add_edge, names.size() / 2, [&](std::size_t j) { return names[j]; },
      [&](std::size_t j, NodeId id) {
        EXPECT_EQ(j, heard.size());
        heard.push_back(id);
      });
  EXPECT_THAT(r, FailsWith(Kind::kSelfLoop));
  EXPECT_EQ(heard, (std::vector<NodeId>{0, 1, 1, 2, 3, 3}));
  EXPECT_EQ(g.names(), (std::vector<std::string>{"p", "q", "r", "s"}));
  EXPECT_EQ(edge_list(g), (std::vector<std::pair<NodeId, NodeId>>{{0, 1}, {1, 2}}));
}

// Catches a duplicate edge slipping in once a tail has more children than
// are scanned (the hub set must hold every earlier edge, whichever way it
// was added), or a false duplicate report.
TEST(Dag, DuplicatesOfHubsAreFound) {
  for (const bool bulk : {false, true}) {
    Dag g;
    for (int i = 0; i < 60; ++i) g.add_node("v" + std::to_string(i));
    std::vector<NodeId> heads;
    for (NodeId v = 1; v < 40; ++v) heads.push_back(v);
    if (bulk) {
      g.add_children(0, std::span(heads).first(10));
      g.add_children(0, std::span(heads).subspan(10));
    } else {
      for (NodeId v : heads) ASSERT_THAT(g.add_edge(0, v), IsOk());
    }
    for (NodeId v : heads) {
      EXPECT_THAT(g.add_edge(0, v),
                  FailsWith(Kind::kDuplicateEdge,
                            "duplicate edge NodeId(0) -> NodeId(" + std::to_string(v) + ")"))
          << "bulk " << bulk;
    }
    ASSERT_THAT(g.add_edge(0, 45), IsOk());
    EXPECT_EQ(g.n_edges(), heads.size() + 1);
    EXPECT_EQ(g.parents(7).size(), 1u);
  }
}

// ---- interrupts -------------------------------------------------------------

using testing::StopSource;

// check_until: calls check_interrupt() until it fails or `wall` has passed;
// whether it failed.
bool check_until(std::chrono::milliseconds wall) {
  const auto end = std::chrono::steady_clock::now() + wall;
  while (std::chrono::steady_clock::now() < end) {
    if (!check_interrupt()) return true;
  }
  return false;
}

// Catches a check that fails, or costs a clock read, without a scope, and a
// scope that outlives itself.
TEST(Interrupt, NoScopeNeverFails) {
  EXPECT_EQ(InterruptScope::current(), nullptr);
  EXPECT_FALSE(check_until(std::chrono::milliseconds(30)));
  {
    StopSource stop = StopSource::on_ask(1);
    InterruptScope scope(stop);
    EXPECT_TRUE(check_until(std::chrono::milliseconds(200)));
  }
  EXPECT_EQ(InterruptScope::current(), nullptr);
  ASSERT_THAT(check_interrupt(), IsOk());
}

// Catches a source asked on every check (the clock of the binding's source
// runs Python code), asked too late, or asked again after it said stop.
TEST(Interrupt, SourceIsAskedEveryPollIntervalAndStopIsSticky) {
  StopSource never = StopSource::never();
  {
    InterruptScope scope(never);
    EXPECT_FALSE(check_until(5 * kInterruptPollInterval + std::chrono::milliseconds(5)));
  }
  EXPECT_GE(never.asks(), 1);
  EXPECT_LE(never.asks(), 5);
  StopSource third = StopSource::on_ask(3);
  InterruptScope scope(third);
  EXPECT_TRUE(check_until(std::chrono::seconds(2)));
  EXPECT_EQ(third.asks(), 3);
  for (int i = 0; i < 1000; ++i) EXPECT_THAT(check_interrupt(), FailsWith(Kind::kInterrupted));
  EXPECT_EQ(third.asks(), 3);
}

// Catches stop flags read only in the innermost scope, a source asked from
// another thread, and a worker's scope not linked to its starter's.
TEST(Interrupt, StopFlagsOfParentScopes) {
  std::atomic<bool> outer_flag{false}, inner_flag{false};
  InterruptScope outer(outer_flag, nullptr);
  StopSource source = StopSource::never();
  InterruptScope with_source(source);
  InterruptScope inner(inner_flag, InterruptScope::current());
  ASSERT_THAT(check_interrupt(), IsOk());
  bool worker_stopped_early = true, worker_saw_outer = false;
  std::thread worker([&] {
    InterruptScope lane(inner_flag, &inner);
    // The source belongs to the main thread: never asked here.
    worker_stopped_early = check_until(3 * kInterruptPollInterval);
    outer_flag.store(true);
    worker_saw_outer = !check_interrupt();
  });
  worker.join();
  EXPECT_FALSE(worker_stopped_early);
  EXPECT_TRUE(worker_saw_outer);
  EXPECT_EQ(source.asks(), 0);
  EXPECT_THAT(check_interrupt(), FailsWith(Kind::kInterrupted));
}

// Catches a meter that checks on every step (costly) or never (deaf).
TEST(InterruptMeter, ChecksOncePerChunk) {
  std::atomic<bool> flag{true};
  InterruptScope scope(flag, nullptr);
  InterruptMeter meter;
  for (std::size_t i = 1; i < kInterruptMeterChunk; ++i) ASSERT_THAT(meter.spend(1), IsOk());
  EXPECT_THAT(meter.spend(1), Not(IsOk()));
  EXPECT_THAT(meter.spend(kInterruptMeterChunk), Not(IsOk()));
  ASSERT_THAT(meter.spend(kInterruptMeterChunk - 1), IsOk());
  EXPECT_THAT(meter.spend(1), Not(IsOk()));
}

// Catches a lock that a thread calling in a loop keeps from the others (it
// starved the thread that watches for Ctrl-C), and a waiter that cannot be
// stopped or that leaves its place in the queue behind when stopped.
TEST(TurnLock, WaitersGetTheirTurnAndStopWhenAsked) {
  TurnLock lock;
  std::atomic<bool> done{false};
  std::atomic<int> holds{0};
  std::thread greedy([&] {
    while (!done) {
      ASSERT_TRUE(lock.lock());
      ++holds;
      // Busy, as a call is: a sleeping holder would let a plain mutex be fair.
      const auto end = std::chrono::steady_clock::now() + std::chrono::microseconds(200);
      while (std::chrono::steady_clock::now() < end) {
      }
      lock.unlock();
    }
  });
  while (holds == 0) std::this_thread::yield();
  for (int i = 0; i < 50; ++i) {
    const int before = holds;
    ASSERT_TRUE(lock.lock());
    EXPECT_LE(holds - before, 1) << "waited through more than one other hold";
    lock.unlock();
  }
  done = true;
  greedy.join();

  ASSERT_TRUE(lock.lock());
  std::thread stopped([&] {
    StopSource stop = StopSource::on_ask(2);
    InterruptScope scope(stop);
    EXPECT_FALSE(lock.lock());
    EXPECT_EQ(stop.asks(), 2);
  });
  stopped.join();
  lock.unlock();
  std::thread next([&] {
    ASSERT_TRUE(lock.lock());
    lock.unlock();
  });
  next.join();
}

// Catches a comparison of signed chars (é before "a", "aé" after "b"), a
// prefix key that misorders names sharing their first 8 bytes, and the
// ranked paths (bitmap, repeated ids, a few ids of many) disagreeing with the
// direct sort.
TEST(NameSorter, OrdersIdsByUtf8Bytes) {
  const std::vector<std::string> table = {
      "b", "", "\xc3\xa9", "a", "Z", "abcdefgh2", "abcdefgh1", "abcdefgh", "\xe2\x82\xac", "a\x01",
      "a\xc3\xa9"};
  NameOrder small_order;
  std::vector<NodeId> ids = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
  NameSorter(small_order, table).sort(ids);
  EXPECT_THAT(ids, ::testing::ElementsAre(1, 4, 3, 9, 7, 6, 5, 10, 0, 2, 8));
  EXPECT_FALSE(small_order.ranked(table.size()));  // eleven ids: not worth a ranking

  std::vector<std::string> names;  // 200 distinct names, many sharing long prefixes
  for (std::size_t i = 0; i < 200; ++i) names.push_back(table[i % 11] + std::string(i / 11, 'x'));
  auto by_bytes = [&](std::vector<NodeId> v) {
    std::stable_sort(v.begin(), v.end(), [&](NodeId a, NodeId b) { return names[a] < names[b]; });
    return v;
  };
  struct Case {
    const char* what;
    std::vector<NodeId> ids;
  };
  std::vector<NodeId> all(200), repeated;
  for (NodeId i = 0; i < 200; ++i) all[i] = 199 - i;
  repeated = all;
  repeated.push_back(17);
  const Case cases[] = {{"every id (ranks, bitmap)", all},
                        {"a repeated id", repeated},
                        {"a few ids of many", {150, 3, 77, 42, 9}}};
  NameOrder order;
  for (const Case& c : cases) {
    std::vector<NodeId> got = c.ids;
    NameSorter(order, names).sort(got);
    const std::vector<NodeId> want = by_bytes(c.ids);
    ASSERT_EQ(got.size(), want.size()) << c.what;
    for (std::size_t i = 0; i < got.size(); ++i) EXPECT_EQ(names[got[i]], names[want[i]]) << c.what;
    EXPECT_TRUE(order.ranked(names.size())) << c.what;
  }
}

// Catches a layer sorted across its bounds, and the ranking of all names
// skipped for many small layers that together are worth it (or made for a few).
TEST(NameSorter, SortLayersKeepsEachLayerAndRanksWhenWorthIt) {
  std::vector<std::string> names;
  for (int i = 0; i < 100; ++i) names.push_back(std::to_string(1000 - i));  // descending
  std::vector<NodeId> ids(100);
  for (NodeId i = 0; i < 100; ++i) ids[i] = i;
  const std::vector<std::size_t> starts = {0, 1, 40, 100};
  NameOrder order;
  sort_layers(order, names, ids, starts);
  EXPECT_TRUE(order.ranked(names.size()));
  EXPECT_EQ(ids[0], 0u);
  for (std::size_t k = 0; k + 1 < starts.size(); ++k) {
    for (std::size_t i = starts[k]; i < starts[k + 1]; ++i) {
      EXPECT_EQ(ids[i], starts[k + 1] - 1 - (i - starts[k])) << i;  // reversed within its layer
    }
  }
  std::vector<NodeId> few = {3, 5, 9};
  NameOrder unranked;
  const std::vector<std::size_t> two = {0, 2, 3};
  sort_layers(unranked, names, few, two);
  EXPECT_EQ(few, (std::vector<NodeId>{5, 3, 9}));
  EXPECT_FALSE(unranked.ranked(names.size()));
}

// Catches an edge list that follows edge insertion rather than tails by id,
// or reorders a tail's children.
TEST(Dag, EdgeListGoesByTailThenChildOrder) {
  const Dag g = testing::make_dag(4, {{2, 1}, {0, 3}, {0, 1}, {3, 2}});
  EXPECT_EQ(edge_list(g), (std::vector<std::pair<NodeId, NodeId>>{{0, 3}, {0, 1}, {2, 1}, {3, 2}}));
  EXPECT_TRUE(edge_list(Dag()).empty());
}

}  // namespace
}  // namespace morvend

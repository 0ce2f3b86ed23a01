#include "d_convex/d_convex.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <random>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "common/graphs.hpp"
#include "common/interrupts.hpp"
#include "common/result_matchers.hpp"

namespace morvend {
namespace {

using Ids = std::vector<NodeId>;
using testing::FailsWith;
using testing::IsOk;
using Kind = AsvError::Kind;
using testing::make_dag;

bool has(const Ids& list, NodeId v) { return std::find(list.begin(), list.end(), v) != list.end(); }

// The hulls as the definition states them, with whole-graph passes, one
// neighbour list per node and linear searches. Returns W in insertion order.
struct ReferenceHull {
  const Dag& g;

  bool adjacent(NodeId a, NodeId b) const {
    return has(Ids(g.children(a).begin(), g.children(a).end()), b) ||
           has(Ids(g.children(b).begin(), g.children(b).end()), a);
  }

  Ids ancestral(const Ids& start) const {
    Ids out;
    for (NodeId s : start) {
      if (!has(out, s)) out.push_back(s);
    }
    for (std::size_t i = 0; i < out.size(); ++i) {
      for (NodeId p : g.parents(out[i])) {
        if (!has(out, p)) out.push_back(p);
      }
    }
    return out;
  }

  Ids path(const Ids& w, NodeId a, NodeId b) const {
    const Ids anc = ancestral({a, b});
    std::vector<Ids> moral(g.n_nodes());
    for (NodeId x : anc) {
      for (NodeId c : g.children(x)) {
        if (has(anc, c) && !has(moral[x], c)) {
          moral[x].push_back(c);
          moral[c].push_back(x);
        }
      }
    }
    for (NodeId x : anc) {
      Ids ps;
      for (NodeId p : g.parents(x)) {
        if (has(anc, p)) ps.push_back(p);
      }
      for (std::size_t i = 0; i < ps.size(); ++i) {
        for (std::size_t j = i + 1; j < ps.size(); ++j) {
          if (!has(moral[ps[i]], ps[j])) {
            moral[ps[i]].push_back(ps[j]);
            moral[ps[j]].push_back(ps[i]);
          }
        }
      }
    }
    std::vector<long> pred(g.n_nodes(), -1);
    pred[a] = a;
    Ids queue{a};
    for (std::size_t i = 0; i < queue.size(); ++i) {
      for (NodeId v : moral[queue[i]]) {
        const bool allowed = v == a || v == b || !has(w, v);
        if (!allowed || pred[v] >= 0) continue;
        pred[v] = queue[i];
        if (v == b) {
          Ids out{b};
          while (out.back() != a) out.push_back(static_cast<NodeId>(pred[out.back()]));
          std::reverse(out.begin(), out.end());
          return out;
        }
        queue.push_back(v);
      }
    }
    return {};
  }

  Ids hull(Ids w) const {
    const std::size_t n = g.n_nodes();
    for (std::size_t pass = 0; pass <= n; ++pass) {
      Ids m;
      for (NodeId v = 0; v < n; ++v) {
        if (!has(w, v)) m.push_back(v);
      }
      Ids p = m;
      for (NodeId x : m) {
        for (NodeId c : g.children(x)) {
          if (!has(p, c)) p.push_back(c);
        }
      }
      for (NodeId x : Ids(p)) {
        for (NodeId q : g.parents(x)) {
          if (!has(p, q)) p.push_back(q);
        }
      }
      Ids f;
      for (NodeId x : w) {
        if (has(p, x)) f.push_back(x);
      }
      Ids additions;
      for (std::size_t i = 0; i < f.size(); ++i) {
        for (std::size_t j = i + 1; j < f.size(); ++j) {
          if (adjacent(f[i], f[j])) continue;
          for (NodeId v : path(w, f[i], f[j])) {
            if (!has(additions, v)) additions.push_back(v);
          }
        }
      }
      const std::size_t before = w.size();
      for (NodeId v : additions) {
        if (!has(w, v)) w.push_back(v);
      }
      if (w.size() == before) return w;
    }
    throw std::logic_error("reference hull did not settle");
  }

  Ids strong_hull(Ids w) const {
    while (true) {
      w = hull(w);
      Ids d;
      for (NodeId v = 0; v < g.n_nodes(); ++v) {
        if (!has(w, v)) d.push_back(v);
      }
      for (NodeId m : Ids(d)) {
        for (NodeId c : g.children(m)) {
          if (!has(d, c)) d.push_back(c);
        }
      }
      const Ids anc = ancestral(w);
      Ids additions;
      for (NodeId x : d) {
        if (!has(anc, x)) continue;
        const auto ps = g.parents(x);
        for (std::size_t i = 0; i < ps.size(); ++i) {
          for (std::size_t j = i + 1; j < ps.size(); ++j) {
            if ((has(w, ps[i]) && has(w, ps[j])) || adjacent(ps[i], ps[j])) continue;
            for (NodeId v : {ps[i], ps[j]}) {
              if (!has(additions, v)) additions.push_back(v);
            }
          }
        }
      }
      if (additions.empty()) return w;
      for (NodeId v : additions) {
        if (!has(w, v)) w.push_back(v);
      }
    }
  }
};

Ids hull(const Dag& g, const Ids& w) { return d_convex_hull(g, w).value(); }
Ids strong(const Dag& g, const Ids& w) { return strong_d_convex_hull(g, w).value(); }
Ids sorted(Ids v) {
  std::sort(v.begin(), v.end());
  return v;
}

// Catches wrong hulls on the worked examples (a=0, b=1, c=2, d=3).
TEST(DConvexHull, WorkedExamples) {
  const Dag chain = testing::chain(3);
  EXPECT_EQ(hull(chain, {0, 2}), (Ids{0, 2, 1}));
  const Dag collider = make_dag(3, {{0, 2}, {1, 2}});
  EXPECT_EQ(hull(collider, {0, 1}), (Ids{0, 1}));
  EXPECT_EQ(strong(collider, {0, 1}), (Ids{0, 1}));  // c is no ancestor of W
  const Dag g = make_dag(4, {{0, 2}, {1, 2}, {2, 3}});
  EXPECT_EQ(sorted(hull(g, {0, 1, 3})), (Ids{0, 1, 2, 3}));
  EXPECT_EQ(hull(g, {0, 3}), (Ids{0, 3, 2}));
  EXPECT_EQ(strong(g, {0, 3}), (Ids{0, 3, 2, 1}));
}

// Catches trivial sets being grown, repeats being counted twice, or bad ids
// reaching the adjacency lists.
TEST(DConvexHull, TrivialSetsRepeatsAndBadIds) {
  const Dag g = testing::random_dag(12, 0.3, 5);
  EXPECT_EQ(hull(g, {}), Ids{});
  EXPECT_EQ(strong(g, {}), Ids{});
  Ids all(12);
  for (NodeId i = 0; i < 12; ++i) all[i] = 11 - i;
  EXPECT_EQ(hull(g, all), all);
  EXPECT_EQ(strong(g, all), all);
  EXPECT_EQ(hull(testing::chain(3), {2, 0, 2, 0}), (Ids{2, 0, 1}));
  EXPECT_THAT(d_convex_hull(g, Ids{0, 12, 13}),
              FailsWith(Kind::kInvalidNodeId, "invalid node id: NodeId(12)"));
  EXPECT_THAT(strong_d_convex_hull(g, Ids{99}),
              FailsWith(Kind::kInvalidNodeId, "invalid node id: NodeId(99)"));
  EXPECT_EQ(hull(Dag(), {}), Ids{});
}

// Catches any drift from the literal definition: border computed from W's
// side, pruned moral graphs and the collider candidate order must give the
// same sets in the same insertion order.
TEST(DConvexHull, MatchesLiteralDefinitionOnRandomGraphs) {
  std::mt19937_64 gen(11);
  for (std::uint64_t seed = 0; seed < 300; ++seed) {
    const std::size_t n = 2 + seed % 13;
    const Dag g = testing::random_dag(n, 0.15 + 0.1 * static_cast<double>(seed % 4), seed);
    Ids w;
    for (NodeId v = 0; v < n; ++v) {
      if (gen() % 4 == 0) w.push_back(v);
    }
    std::shuffle(w.begin(), w.end(), gen);
    const ReferenceHull ref{g};
    ASSERT_EQ(hull(g, w), ref.hull(w)) << "seed " << seed;
    ASSERT_EQ(strong(g, w), ref.strong_hull(w)) << "seed " << seed;
  }
}

// Catches hulls that are not closed: a hull is its own hull, contains W, and
// the strong hull contains the hull.
TEST(DConvexHull, HullsAreClosedSupersets) {
  for (std::uint64_t seed = 0; seed < 100; ++seed) {
    const Dag g = testing::random_dag(16, 0.2, seed);
    const Ids w = {static_cast<NodeId>(seed % 16), static_cast<NodeId>((seed * 7 + 3) % 16)};
    const Ids h = hull(g, w);
    const Ids s = strong(g, w);
    EXPECT_EQ(sorted(hull(g, h)), sorted(h));
    EXPECT_EQ(sorted(strong(g, s)), sorted(s));
    for (NodeId v : w) EXPECT_TRUE(has(h, v));
    for (NodeId v : h) EXPECT_TRUE(has(s, v));
  }
}

// Catches recursion or whole-graph work per pair: the ends of a long chain
// pull in the whole chain through one moral path.
TEST(DConvexHull, LongChainNeedsNoDeepStack) {
  const std::size_t n = 200000;
  const Dag g = testing::chain(n);
  const Ids h = hull(g, {0, static_cast<NodeId>(n - 1)});
  ASSERT_EQ(h.size(), n);
  EXPECT_EQ(h[2], 1u);
  EXPECT_EQ(h.back(), n - 2);
}

// Catches new ids following the request instead of the source order, lost
// or invented edges, and a partial result on a bad id.
TEST(InducedSubgraph, KeepsSourceOrderAndEdges) {
  const Dag g = make_dag(5, {{3, 1}, {0, 3}, {3, 4}, {0, 1}, {4, 1}, {2, 0}});
  const Dag sub = induced_subgraph(g, Ids{4, 1, 3, 1}).value();
  EXPECT_EQ(sub.names(), (std::vector<std::string>{"1", "3", "4"}));
  EXPECT_EQ(Ids(sub.children(1).begin(), sub.children(1).end()), (Ids{0, 2}));  // 3 -> 1, 3 -> 4
  EXPECT_EQ(Ids(sub.children(2).begin(), sub.children(2).end()), (Ids{0}));     // 4 -> 1
  EXPECT_EQ(Ids(sub.parents(0).begin(), sub.parents(0).end()), (Ids{1, 2}));
  EXPECT_EQ(sub.n_edges(), 3u);
  const Dag fwd = induced_subgraph(g, Ids{1, 3, 4}).value();
  EXPECT_EQ(fwd.names(), sub.names());
  EXPECT_THAT(induced_subgraph(g, Ids{0, 5, 6}),
              FailsWith(Kind::kInvalidNodeId, "invalid node id: NodeId(5)"));
  EXPECT_EQ(induced_subgraph(g, Ids{}).value().n_nodes(), 0u);
  Ids kept;
  ASSERT_THAT(induced_subgraph(g, Ids{4, 1, 3, 1}, &kept), IsOk());
  EXPECT_EQ(kept, (Ids{1, 3, 4}));
}

// Catches a difference between the dense id tables (large requests) and the
// hashing (small ones): same nodes, same edges, same order either way, and a
// name index whose copied slots still find every kept name, none dropped,
// and take new names.
TEST(InducedSubgraph, LargeAndSmallRequestsAgree) {
  const Dag g = testing::random_dag(200, 0.05, 3);
  for (std::size_t step : {1, 2, 40}) {  // 200, 100 and 5 nodes
    Ids ids;
    for (NodeId v = 0; v < g.n_nodes(); v += static_cast<NodeId>(step)) ids.push_back(v);
    Dag sub = induced_subgraph(g, ids).value();
    for (NodeId v = 0; v < g.n_nodes(); ++v) {
      const std::optional<NodeId> expected =
          v % step == 0 ? std::optional<NodeId>(v / step) : std::nullopt;
      EXPECT_EQ(sub.node_id(g.name(v)), expected) << step;
    }
    EXPECT_EQ(sub.add_node("new"), ids.size());
    EXPECT_EQ(sub.add_node(g.name(0)), 0u);
    std::size_t edges = 0;
    for (NodeId a = 0; a < ids.size(); ++a) {
      Ids expected;
      for (NodeId c : g.children(ids[a])) {
        if (c % step == 0) expected.push_back(static_cast<NodeId>(c / step));
      }
      EXPECT_EQ(Ids(sub.children(a).begin(), sub.children(a).end()), expected) << step;
      edges += expected.size();
    }
    EXPECT_EQ(sub.n_edges(), edges);
  }
}

// ---- interrupts -------------------------------------------------------------

using testing::cpu_seconds;
using testing::StopSource;
using HullFn = std::function<Result<Ids>()>;

// complete_dag: i -> j for every i < j. The strong hull of two late nodes
// spends its time among the collider candidates: all of them, each with a
// quadratic number of (adjacent) parent pairs.
Dag complete_dag(std::size_t n) {
  std::vector<std::pair<NodeId, NodeId>> edges;
  for (NodeId i = 0; i < n; ++i) {
    for (NodeId j = i + 1; j < n; ++j) edges.emplace_back(i, j);
  }
  return make_dag(n, edges);
}

// Catches a hull phase that runs on for long without a check (the pair
// searches, marrying the parents of a dense graph, the collider pass), and a
// stop that does not end the hull.
TEST(DConvexHullInterrupt, LongHullsStopPromptly) {
  // Each hull below runs for a second or far longer; the source stops it 0.1 s in.
  const Dag sparse = testing::random_dag(1000, 0.01, 1);
  const Dag dense = testing::random_dag(1000, 0.3, 1);
  const Dag complete = complete_dag(600);
  const std::vector<std::pair<const char*, HullFn>> cases = {
      {"hull", [&] { return d_convex_hull(sparse, Ids{600, 999}); }},
      {"hull, dense", [&] { return d_convex_hull(dense, Ids{990, 999}); }},
      {"strong", [&] { return strong_d_convex_hull(sparse, Ids{600, 999}); }},
      {"strong, colliders", [&] { return strong_d_convex_hull(complete, Ids{599, 594}); }},
  };
  for (const auto& [name, hull] : cases) testing::expect_stops_promptly(name, hull);
}

// Catches checks that change a hull, and state kept from a stopped hull:
// stopped on each of its asks in turn, a hull fails until it finishes before
// the stop, with the result it has without any scope.
TEST(DConvexHullInterrupt, ChecksChangeNothing) {
  const Dag sparse = testing::random_dag(1000, 0.01, 1);  // about 0.1 s for {300, 700}
  const Dag complete = complete_dag(300);
  const std::vector<std::pair<const char*, HullFn>> cases = {
      {"hull", [&] { return d_convex_hull(sparse, Ids{300, 700}); }},
      {"strong", [&] { return strong_d_convex_hull(sparse, Ids{300, 700}); }},
      {"strong, colliders", [&] { return strong_d_convex_hull(complete, Ids{299, 294}); }},
  };
  for (const auto& [name, hull] : cases) {
    const Ids want = hull().value();
    int stops = 0;
    for (int k = 1;; ++k) {
      StopSource stop = StopSource::on_ask(k);
      Result<Ids> r;
      {
        InterruptScope scope(stop);
        r = hull();
      }
      if (stop.stopped_at() < 0) {
        ASSERT_THAT(r, IsOk()) << name;
        EXPECT_EQ(*r, want) << name;
        break;
      }
      ASSERT_THAT(r, FailsWith(Kind::kInterrupted)) << name << ", stopped on ask " << k;
      ++stops;
    }
    EXPECT_GE(stops, 1) << name;
  }
}

// stopped_or_same: `hull` run under a stop flag set beforehand is
// Interrupted, or exactly `want`; afterwards it gives `want` again. Whether
// it was stopped.
bool stopped_or_same(const std::function<Result<Ids>()>& hull, const Ids& want) {
  const std::atomic<bool> stop{true};
  Result<Ids> r;
  {
    InterruptScope scope(stop, nullptr);
    r = hull();
  }
  if (r) {
    EXPECT_EQ(*r, want);
  } else {
    EXPECT_THAT(r, FailsWith(Kind::kInterrupted));
  }
  EXPECT_EQ(hull().value(), want);
  return !r;
}

// Catches a phase that drops a stop and goes on with what it has (a partial
// path, collider pass or ancestral set), or turns it into another error.
// Under a stop flag set beforehand the first check of a hull fails; as the
// graphs grow, that check moves through every phase. Random graphs move it
// through the pair searches, ladders (a chain whose every link has a second
// parent, hull of the last link) through the strong hull's own passes.
TEST(DConvexHullInterrupt, AStopInAnyPhaseGivesInterruptedAlone) {
  std::mt19937_64 gen(5);
  int stopped = 0, runs = 0;
  for (std::uint64_t seed = 0; seed < 300; ++seed) {
    const std::size_t n = 10 + seed % 40;
    const Dag g = testing::random_dag(n, 0.1 + 0.05 * static_cast<double>(seed % 5), seed);
    Ids w = {static_cast<NodeId>(n - 1 - gen() % 3), static_cast<NodeId>(gen() % n),
             static_cast<NodeId>(gen() % n)};
    w.resize(1 + seed % 3);
    for (const bool strong : {false, true}) {
      const auto hull = [&] { return strong ? strong_d_convex_hull(g, w) : d_convex_hull(g, w); };
      stopped += stopped_or_same(hull, hull().value());
      ++runs;
      ASSERT_FALSE(HasFailure()) << "seed " << seed << (strong ? ", strong" : "");
    }
  }
  for (NodeId len = 200; len <= 3000; len += 25) {
    std::vector<std::pair<NodeId, NodeId>> edges;
    for (NodeId i = 1; i < len; ++i) {
      edges.emplace_back(i - 1, i);
      edges.emplace_back(len + i, i);
    }
    const Dag ladder = make_dag(2 * len, edges);
    const auto hull = [&] { return strong_d_convex_hull(ladder, Ids{len - 1}); };
    const Ids want = hull().value();
    ASSERT_EQ(want.size(), 2 * len - 1);  // every node but the unlinked side root
    stopped += stopped_or_same(hull, want);
    ++runs;
    ASSERT_FALSE(HasFailure()) << "ladder " << len;
  }
  EXPECT_GT(stopped, runs / 4);
  EXPECT_LT(stopped, runs * 3 / 4);
}

// Catches an induced subgraph that cannot be stopped, or one that stops
// when nothing asked it to.
TEST(InducedSubgraphInterrupt, StopsWhenAsked) {
  const Dag g = testing::star(20000);
  Ids all(g.n_nodes());
  for (NodeId i = 0; i < g.n_nodes(); ++i) all[i] = i;
  std::atomic<bool> stop{true};
  {
    InterruptScope scope(stop, nullptr);
    const Result<Dag> r = induced_subgraph(g, all);
    ASSERT_THAT(r, FailsWith(Kind::kInterrupted));
    stop.store(false);
    EXPECT_EQ(induced_subgraph(g, all).value().n_edges(), 20000u);
  }
}

}  // namespace
}  // namespace morvend

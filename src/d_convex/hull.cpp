#include <algorithm>
#include <cstdint>
#include <tuple>

#include <boost/unordered/unordered_flat_map.hpp>

#include "d_convex/d_convex.hpp"

namespace morvend {
namespace {

bool adjacent(const Dag& g, NodeId a, NodeId b) {
  const auto has_child = [&](NodeId u, NodeId v) {
    const auto kids = g.children(u);
    return std::find(kids.begin(), kids.end(), v) != kids.end();
  };
  return has_child(a, b) || has_child(b, a);
}

std::optional<NodeId> first_invalid(const Dag& g, std::span<const NodeId> ids) {
  for (NodeId id : ids) {
    if (id >= g.n_nodes()) return id;
  }
  return std::nullopt;
}

// ancestral_set: `start`, then every ancestor in breadth-first order over
// parent lists. The set doubles as the queue.
NodeSet ancestral_set(const Dag& g, std::span<const NodeId> start) {
  NodeSet found(start);
  for (std::size_t head = 0; head < found.size(); ++head) {
    for (NodeId p : g.parents(found.ids()[head])) found.insert(p);
  }
  return found;
}

// border: the members of W that are children of M, parents of M or parents
// of children of M (M = every node outside W), in W's order. Read from W's
// side, so the cost does not grow with the rest of the graph.
std::vector<NodeId> border(const Dag& g, const NodeSet& w) {
  const auto outside = [&](NodeId v) { return !w.contains(v); };
  const auto has_outside_parent = [&](NodeId v) {
    return std::ranges::any_of(g.parents(v), outside);
  };
  std::vector<NodeId> f;
  for (NodeId x : w) {
    if (has_outside_parent(x) || std::ranges::any_of(g.children(x), outside) ||
        std::ranges::any_of(g.children(x), has_outside_parent)) {
      f.push_back(x);
    }
  }
  return f;
}

// moral_path: a shortest path a ... b in the moral graph of An({a, b}) whose
// inner nodes lie outside W; empty when there is none. Neighbour lists follow
// the ancestral set's order, which fixes the path among equally short ones.
std::vector<NodeId> moral_path(const Dag& g, const NodeSet& w, NodeId a, NodeId b) {
  const NodeId ends[] = {a, b};
  const NodeSet anc = ancestral_set(g, ends);
  const auto allowed = [&](NodeId v) { return v == a || v == b || !w.contains(v); };

  // Edges with a forbidden end can never be walked, so they are left out;
  // the lists of allowed nodes keep the order they would have had.
  boost::unordered_flat_map<NodeId, std::vector<NodeId>> moral;
  boost::unordered_flat_set<std::uint64_t> linked;
  const auto link = [&](NodeId x, NodeId y) {
    if (!allowed(x) || !allowed(y)) return;
    const std::uint64_t key = (std::uint64_t{std::min(x, y)} << 32) | std::max(x, y);
    if (!linked.insert(key).second) return;
    moral[x].push_back(y);
    moral[y].push_back(x);
  };
  for (NodeId x : anc) {
    for (NodeId c : g.children(x)) {
      if (anc.contains(c)) link(x, c);
    }
  }
  for (NodeId x : anc) {
    // Every parent of a member is a member: the set is ancestral.
    const auto ps = g.parents(x);
    for (std::size_t i = 0; i < ps.size(); ++i) {
      for (std::size_t j = i + 1; j < ps.size(); ++j) link(ps[i], ps[j]);
    }
  }

  boost::unordered_flat_map<NodeId, NodeId> pred{{a, a}};
  std::vector<NodeId> queue{a};
  for (std::size_t head = 0; head < queue.size(); ++head) {
    const NodeId cur = queue[head];
    const auto it = moral.find(cur);
    if (it == moral.end()) continue;
    for (NodeId v : it->second) {
      if (!pred.emplace(v, cur).second) continue;
      if (v == b) {
        std::vector<NodeId> path{b};
        while (path.back() != a) path.push_back(pred.at(path.back()));
        std::reverse(path.begin(), path.end());
        return path;
      }
      queue.push_back(v);
    }
  }
  return {};
}

Result<NodeSet> hull_of(const Dag& g, NodeSet w) {
  const std::size_t n = g.n_nodes();
  for (std::size_t pass = 0; pass <= n; ++pass) {
    const std::vector<NodeId> f = border(g, w);
    NodeSet additions;
    for (std::size_t i = 0; i < f.size(); ++i) {
      for (std::size_t j = i + 1; j < f.size(); ++j) {
        if (adjacent(g, f[i], f[j])) continue;
        for (NodeId v : moral_path(g, w, f[i], f[j])) additions.insert(v);
      }
    }
    const std::size_t before = w.size();
    for (NodeId v : additions) w.insert(v);
    if (w.size() == before) return w;
  }
  return std::unexpected(AsvError::hull_no_fixed_point());
}

// collider_candidates: D ∩ An(W) in D's order, where D = M ∪ ch(M) lists M
// (every node outside W) by ascending id and then the members of W that
// children lists of M reach, in the order an ascending walk over M meets
// them. Built from An(W) instead of walking M, which may be the whole graph.
std::vector<NodeId> collider_candidates(const Dag& g, const NodeSet& w, const NodeSet& anc) {
  std::vector<NodeId> out;
  for (NodeId x : anc) {
    if (!w.contains(x)) out.push_back(x);
  }
  std::sort(out.begin(), out.end());
  // A member x of W is first met at its smallest parent outside W, at x's
  // position in that parent's children list.
  std::vector<std::tuple<NodeId, std::size_t, NodeId>> reached;
  for (NodeId x : w) {
    std::optional<NodeId> first;
    for (NodeId p : g.parents(x)) {
      if (!w.contains(p) && (!first || p < *first)) first = p;
    }
    if (!first) continue;
    const auto kids = g.children(*first);
    const auto pos = static_cast<std::size_t>(std::find(kids.begin(), kids.end(), x) - kids.begin());
    reached.emplace_back(*first, pos, x);
  }
  std::sort(reached.begin(), reached.end());
  for (const auto& r : reached) out.push_back(std::get<2>(r));
  return out;
}

Result<NodeSet> strong_hull_of(const Dag& g, NodeSet w) {
  const std::size_t n = g.n_nodes();
  for (std::size_t pass = 0; pass <= n; ++pass) {
    Result<NodeSet> hull = hull_of(g, std::move(w));
    if (!hull) return hull;
    w = std::move(*hull);
    const NodeSet anc = ancestral_set(g, w.ids());
    NodeSet additions;
    for (NodeId x : collider_candidates(g, w, anc)) {
      const auto ps = g.parents(x);
      for (std::size_t i = 0; i < ps.size(); ++i) {
        for (std::size_t j = i + 1; j < ps.size(); ++j) {
          if (w.contains(ps[i]) && w.contains(ps[j])) continue;
          if (adjacent(g, ps[i], ps[j])) continue;
          additions.insert(ps[i]);
          additions.insert(ps[j]);
        }
      }
    }
    if (additions.empty()) return w;
    for (NodeId v : additions) w.insert(v);
  }
  return std::unexpected(AsvError::hull_no_fixed_point());
}

}  // namespace

Result<std::vector<NodeId>> d_convex_hull(const Dag& g, std::span<const NodeId> ids) {
  if (auto bad = first_invalid(g, ids)) return std::unexpected(AsvError::invalid_node_id(*bad));
  Result<NodeSet> hull = hull_of(g, NodeSet(ids));
  if (!hull) return std::unexpected(hull.error());
  return std::move(*hull).ids();
}

Result<std::vector<NodeId>> strong_d_convex_hull(const Dag& g, std::span<const NodeId> ids) {
  if (auto bad = first_invalid(g, ids)) return std::unexpected(AsvError::invalid_node_id(*bad));
  Result<NodeSet> hull = strong_hull_of(g, NodeSet(ids));
  if (!hull) return std::unexpected(hull.error());
  return std::move(*hull).ids();
}

}  // namespace morvend

#include <algorithm>
#include <cstdint>
#include <tuple>

#include <boost/unordered/unordered_flat_map.hpp>

#include "d_convex/d_convex.hpp"
#include "graph/interrupt_meter.hpp"

namespace morvend {
namespace {

// adjacent: whether an edge joins a and b; adds the children entries it
// read to `units`, for the meter.
bool adjacent(const Dag& g, NodeId a, NodeId b, std::size_t& units) {
  const auto has_child = [&](NodeId u, NodeId v) {
    const auto kids = g.children(u);
    const auto it = std::find(kids.begin(), kids.end(), v);
    units += static_cast<std::size_t>(it - kids.begin());
    return it != kids.end();
  };
  return has_child(a, b) || has_child(b, a);
}

// ancestral_set: `start`, then every ancestor in breadth-first order over
// parent lists. The set doubles as the queue.
Result<NodeSet> ancestral_set(const Dag& g, std::span<const NodeId> start, InterruptMeter& meter) {
  NodeSet found(start);
  for (std::size_t head = 0; head < found.size(); ++head) {
    const auto ps = g.parents(found.ids()[head]);
    if (Result<void> r = meter.spend(1 + ps.size()); !r) return std::unexpected(r.error());
    for (NodeId p : ps) found.insert(p);
  }
  return found;
}

// border: the members of W that are children of M, parents of M or parents
// of children of M (M = every node outside W), in W's order. Read from W's
// side, so the cost does not grow with the rest of the graph.
Result<std::vector<NodeId>> border(const Dag& g, const NodeSet& w, InterruptMeter& meter) {
  std::size_t units = 0;  // parent entries read for the current member
  const auto outside = [&](NodeId v) { return !w.contains(v); };
  const auto has_outside_parent = [&](NodeId v) {
    const auto ps = g.parents(v);
    units += ps.size();
    return std::ranges::any_of(ps, outside);
  };
  std::vector<NodeId> f;
  for (NodeId x : w) {
    units = 1 + g.children(x).size();
    if (has_outside_parent(x) || std::ranges::any_of(g.children(x), outside) ||
        std::ranges::any_of(g.children(x), has_outside_parent)) {
      f.push_back(x);
    }
    if (Result<void> r = meter.spend(units); !r) return std::unexpected(r.error());
  }
  return f;
}

// PairSearch: for one pair (a, b) of a pass, a shortest path a ... b in the
// moral graph of An({a, b}) whose inner nodes lie outside W. Neighbour lists
// follow the ancestral set's order, which fixes the path among equally short
// ones. Nodes are numbered by their position in the ancestral set, and every
// buffer is reused from pair to pair: allocating fresh tables per pair costs
// more than the search itself. One pair's search can take a long time in a
// dense graph (marrying the parents is quadratic in their number), so every
// loop spends on the meter.
class PairSearch {
 public:
  PairSearch(const Dag& g, const NodeSet& w, InterruptMeter& meter) : g_(g), w_(w), meter_(meter) {}

  // path: the nodes from a to b, or empty when no such path exists.
  Result<std::vector<NodeId>> path(NodeId a, NodeId b) {
    if (Result<void> r = collect_ancestors(a, b); !r) return std::unexpected(r.error());
    const std::size_t k = order_.size();
    allowed_.resize(k);
    if (moral_.size() < k) moral_.resize(k);
    for (std::size_t i = 0; i < k; ++i) {
      if (Result<void> r = meter_.spend(1); !r) return std::unexpected(r.error());
      allowed_[i] = order_[i] == a || order_[i] == b || !w_.contains(order_[i]);
      moral_[i].clear();
    }
    linked_.clear();
    for (std::uint32_t i = 0; i < k; ++i) {
      const auto kids = g_.children(order_[i]);
      if (Result<void> r = meter_.spend(1 + kids.size()); !r) return std::unexpected(r.error());
      for (NodeId c : kids) {
        if (const auto it = local_.find(c); it != local_.end()) link(i, it->second);
      }
    }
    for (std::uint32_t i = 0; i < k; ++i) {
      // Every parent of a member is a member: the set is ancestral.
      const auto ps = g_.parents(order_[i]);
      for (std::size_t x = 0; x < ps.size(); ++x) {
        if (Result<void> r = meter_.spend(ps.size() - x); !r) return std::unexpected(r.error());
        for (std::size_t y = x + 1; y < ps.size(); ++y) link(local_.at(ps[x]), local_.at(ps[y]));
      }
    }
    return search();
  }

 private:
  static constexpr std::uint32_t kNone = static_cast<std::uint32_t>(-1);

  // collect_ancestors: order_ = a, b, then their ancestors breadth-first over
  // parent lists; local_ maps each node to its position.
  Result<void> collect_ancestors(NodeId a, NodeId b) {
    order_.clear();
    local_.clear();
    const auto add = [&](NodeId v) {
      if (local_.emplace(v, static_cast<std::uint32_t>(order_.size())).second) order_.push_back(v);
    };
    add(a);
    add(b);
    for (std::size_t head = 0; head < order_.size(); ++head) {
      const auto ps = g_.parents(order_[head]);
      if (Result<void> r = meter_.spend(1 + ps.size()); !r) return r;
      for (NodeId p : ps) add(p);
    }
    return {};
  }

  // link: the moral edge x - y unless present. Edges with a forbidden end can
  // never be walked, so they are left out; the lists of allowed nodes keep
  // the order they would have had.
  void link(std::uint32_t x, std::uint32_t y) {
    if (!allowed_[x] || !allowed_[y]) return;
    if (!linked_.insert((std::uint64_t{std::min(x, y)} << 32) | std::max(x, y)).second) return;
    moral_[x].push_back(y);
    moral_[y].push_back(x);
  }

  // search: breadth-first from a (position 0) to b (position 1).
  Result<std::vector<NodeId>> search() {
    pred_.assign(order_.size(), kNone);
    pred_[0] = 0;
    queue_.assign(1, 0);
    for (std::size_t head = 0; head < queue_.size(); ++head) {
      const std::uint32_t cur = queue_[head];
      if (Result<void> r = meter_.spend(1 + moral_[cur].size()); !r) {
        return std::unexpected(r.error());
      }
      for (std::uint32_t v : moral_[cur]) {
        if (pred_[v] != kNone) continue;
        pred_[v] = cur;
        if (v == 1) {
          std::vector<NodeId> path;
          for (std::uint32_t x = 1; x != 0; x = pred_[x]) path.push_back(order_[x]);
          path.push_back(order_[0]);
          std::reverse(path.begin(), path.end());
          return path;
        }
        queue_.push_back(v);
      }
    }
    return std::vector<NodeId>{};
  }

  const Dag& g_;
  const NodeSet& w_;
  InterruptMeter& meter_;
  std::vector<NodeId> order_;
  boost::unordered_flat_map<NodeId, std::uint32_t> local_;
  std::vector<char> allowed_;
  std::vector<std::vector<std::uint32_t>> moral_;
  boost::unordered_flat_set<std::uint64_t> linked_;
  std::vector<std::uint32_t> pred_;
  std::vector<std::uint32_t> queue_;
};

[[nodiscard]] Result<NodeSet> hull_of(const Dag& g, NodeSet w, InterruptMeter& meter) {
  const std::size_t n = g.n_nodes();
  for (std::size_t pass = 0; pass <= n; ++pass) {
    Result<std::vector<NodeId>> border_nodes = border(g, w, meter);
    if (!border_nodes) return std::unexpected(border_nodes.error());
    const std::vector<NodeId>& f = *border_nodes;
    PairSearch search(g, w, meter);
    NodeSet additions;
    for (std::size_t i = 0; i < f.size(); ++i) {
      // The adjacency tests of one row are metered together; the searches
      // meter themselves.
      std::size_t units = f.size() - i;
      for (std::size_t j = i + 1; j < f.size(); ++j) {
        if (adjacent(g, f[i], f[j], units)) continue;
        Result<std::vector<NodeId>> path = search.path(f[i], f[j]);
        if (!path) return std::unexpected(path.error());
        for (NodeId v : *path) additions.insert(v);
      }
      if (Result<void> r = meter.spend(units); !r) return std::unexpected(r.error());
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
Result<std::vector<NodeId>> collider_candidates(const Dag& g, const NodeSet& w, const NodeSet& anc,
                                                InterruptMeter& meter) {
  std::vector<NodeId> out;
  for (NodeId x : anc) {
    if (Result<void> r = meter.spend(1); !r) return std::unexpected(r.error());
    if (!w.contains(x)) out.push_back(x);
  }
  std::sort(out.begin(), out.end());
  // A member x of W is first met at its smallest parent outside W, at x's
  // position in that parent's children list.
  std::vector<std::tuple<NodeId, std::size_t, NodeId>> reached;
  for (NodeId x : w) {
    if (Result<void> r = meter.spend(1 + g.parents(x).size()); !r) {
      return std::unexpected(r.error());
    }
    std::optional<NodeId> first;
    for (NodeId p : g.parents(x)) {
      if (!w.contains(p) && (!first || p < *first)) first = p;
    }
    if (!first) continue;
    const auto kids = g.children(*first);
    const auto pos =
        static_cast<std::size_t>(std::find(kids.begin(), kids.end(), x) - kids.begin());
    reached.emplace_back(*first, pos, x);
  }
  std::sort(reached.begin(), reached.end());
  for (const auto& r : reached) out.push_back(std::get<2>(r));
  return out;
}

[[nodiscard]] Result<NodeSet> strong_hull_of(const Dag& g, NodeSet w, InterruptMeter& meter) {
  const std::size_t n = g.n_nodes();
  for (std::size_t pass = 0; pass <= n; ++pass) {
    Result<NodeSet> hull = hull_of(g, std::move(w), meter);
    if (!hull) return hull;
    w = std::move(*hull);
    const Result<NodeSet> anc = ancestral_set(g, w.ids(), meter);
    if (!anc) return std::unexpected(anc.error());
    const Result<std::vector<NodeId>> candidates = collider_candidates(g, w, *anc, meter);
    if (!candidates) return std::unexpected(candidates.error());
    NodeSet additions;
    for (NodeId x : *candidates) {
      const auto ps = g.parents(x);
      for (std::size_t i = 0; i < ps.size(); ++i) {
        std::size_t units = ps.size() - i;  // this row's pairs and the entries they read
        for (std::size_t j = i + 1; j < ps.size(); ++j) {
          if (w.contains(ps[i]) && w.contains(ps[j])) continue;
          if (adjacent(g, ps[i], ps[j], units)) continue;
          additions.insert(ps[i]);
          additions.insert(ps[j]);
        }
        if (Result<void> r = meter.spend(units); !r) return std::unexpected(r.error());
      }
    }
    if (additions.empty()) return w;
    for (NodeId v : additions) w.insert(v);
  }
  return std::unexpected(AsvError::hull_no_fixed_point());
}

}  // namespace

Result<std::vector<NodeId>> d_convex_hull(const Dag& g, std::span<const NodeId> ids) {
  if (Result<void> r = check_ids(ids, g.n_nodes()); !r) return std::unexpected(r.error());
  InterruptMeter meter;
  Result<NodeSet> hull = hull_of(g, NodeSet(ids), meter);
  if (!hull) return std::unexpected(hull.error());
  return std::move(*hull).ids();
}

Result<std::vector<NodeId>> strong_d_convex_hull(const Dag& g, std::span<const NodeId> ids) {
  if (Result<void> r = check_ids(ids, g.n_nodes()); !r) return std::unexpected(r.error());
  InterruptMeter meter;
  Result<NodeSet> hull = strong_hull_of(g, NodeSet(ids), meter);
  if (!hull) return std::unexpected(hull.error());
  return std::move(*hull).ids();
}

}  // namespace morvend

#include "tree/tree.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "asv/refusals.hpp"
#include "graph/interrupt.hpp"
#include "graph/limits.hpp"
#include "topo/topo.hpp"

namespace morvend {
namespace {

constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();

std::uint64_t sat_mul(std::uint64_t a, std::uint64_t b) {
  std::uint64_t p;
  return __builtin_mul_overflow(a, b, &p) ? kMax : p;
}

std::uint64_t sat_add(std::uint64_t a, std::uint64_t b) {
  std::uint64_t s;
  return __builtin_add_overflow(a, b, &s) ? kMax : s;
}

// Nodes in breadth-first order from the root: parents before children.
std::vector<NodeId> top_down(const Dag& g, NodeId root) {
  std::vector<NodeId> order{root};
  order.reserve(g.n_nodes());
  for (std::size_t head = 0; head < order.size(); ++head) {
    for (NodeId c : g.children(order[head])) order.push_back(c);
  }
  return order;
}

// Order ideals of subtrees, as masks in the order the weights are summed:
// the empty ideal, then {s} with every combination of its children's ideals
// (first child varying slowest).
class SubtreeIdeals {
 public:
  explicit SubtreeIdeals(const Dag& g) : g_(g), memo_(g.n_nodes()), done_(g.n_nodes(), 0) {}

  const std::vector<std::uint64_t>& of(NodeId s) {
    if (done_[s]) return memo_[s];
    std::vector<std::uint64_t> combos{0};
    for (NodeId c : g_.children(s)) combos = product(combos, of(c));  // depth <= 64
    std::vector<std::uint64_t> out{0};
    out.reserve(combos.size() + 1);
    for (std::uint64_t m : combos) out.push_back(m | (std::uint64_t{1} << s));
    done_[s] = 1;
    return memo_[s] = std::move(out);
  }

  // product: every a | b, a varying slowest.
  static std::vector<std::uint64_t> product(const std::vector<std::uint64_t>& left,
                                            const std::vector<std::uint64_t>& right) {
    std::vector<std::uint64_t> out;
    out.reserve(left.size() * right.size());
    for (std::uint64_t a : left) {
      for (std::uint64_t b : right) out.push_back(a | b);
    }
    return out;
  }

 private:
  const Dag& g_;
  std::vector<std::vector<std::uint64_t>> memo_;
  std::vector<char> done_;
};

}  // namespace

TreeFeasibility tree_feasibility(const Dag& g, NodeId root, std::uint64_t product_budget,
                                 std::uint64_t work_budget) {
  const std::vector<NodeId> order = top_down(g, root);
  std::vector<std::uint64_t> count(g.n_nodes(), 0);  // ideals of each subtree
  for (auto it = order.rbegin(); it != order.rend(); ++it) {
    const auto kids = g.children(*it);
    if (kids.empty()) {
      count[*it] = 2;
      continue;
    }
    std::uint64_t p = 1;
    for (NodeId c : kids) p = sat_mul(p, count[c]);
    count[*it] = sat_add(p, 1);
  }
  // The carried product of a node is its number of predecessor sets: the
  // ideal counts of its side siblings, multiplied along the path.
  TreeFeasibility f{0, product_budget, 0, work_budget, false};
  std::vector<std::uint64_t> carried(g.n_nodes(), 0);
  carried[root] = 1;
  std::vector<std::uint64_t> suffix;
  for (NodeId v : order) {
    const std::uint64_t r = carried[v];
    f.largest_product = std::max(f.largest_product, r);
    f.total_work = sat_add(f.total_work, r);
    const auto kids = g.children(v);
    suffix.assign(kids.size() + 1, 1);
    for (std::size_t j = kids.size(); j-- > 0;) suffix[j] = sat_mul(suffix[j + 1], count[kids[j]]);
    std::uint64_t prefix = 1;
    for (std::size_t j = 0; j < kids.size(); ++j) {
      carried[kids[j]] = sat_mul(sat_mul(prefix, suffix[j + 1]), r);
      prefix = sat_mul(prefix, count[kids[j]]);
    }
  }
  f.feasible = f.largest_product <= product_budget && f.total_work <= work_budget;
  return f;
}

namespace {

// TreeShape: what the weights of every node need, computed once: the nodes
// top down, each node's parent and subtree size, and logarithm tables.
struct TreeShape {
  NodeId root;
  std::vector<NodeId> order;  // parents before children
  std::vector<NodeId> parent;
  std::vector<double> log_int;   // ln(i), i <= n: the same bits as calling log per member
  std::vector<double> log_fact;  // ln(i!)
  std::vector<double> log_size;  // ln of each subtree's size

  TreeShape(const Dag& g, NodeId r) : root(r), order(top_down(g, r)), parent(g.n_nodes(), r) {
    const std::size_t n = g.n_nodes();
    std::vector<std::uint64_t> size(n, 1);
    for (auto it = order.rbegin(); it != order.rend(); ++it) {
      for (NodeId c : g.children(*it)) {
        parent[c] = *it;
        size[*it] += size[c];
      }
    }
    log_int.assign(n + 1, 0.0);
    log_fact.assign(n + 1, 0.0);
    for (std::size_t i = 1; i <= n; ++i) {
      log_int[i] = std::log(static_cast<double>(i));
      log_fact[i] = log_int[i] + log_fact[i - 1];
    }
    log_size.resize(n);
    for (std::size_t v = 0; v < n; ++v) log_size[v] = std::log(static_cast<double>(size[v]));
  }
};

// PredecessorSets: every set P that can precede f: the proper ancestors of
// f, with one ideal of the subtree of every side sibling, combined root first.
struct PredecessorSets {
  std::uint64_t ancestors = 0;
  std::vector<std::uint64_t> extras{0};
};

PredecessorSets predecessor_sets(const Dag& g, const TreeShape& shape, SubtreeIdeals& ideals,
                                 NodeId f) {
  std::vector<NodeId> path;  // root .. f
  for (NodeId v = f;; v = shape.parent[v]) {
    path.push_back(v);
    if (v == shape.root) break;
  }
  std::reverse(path.begin(), path.end());
  PredecessorSets out;
  for (std::size_t a = 0; a + 1 < path.size(); ++a) {
    out.ancestors |= std::uint64_t{1} << path[a];
    std::vector<std::uint64_t> alternatives{0};
    for (NodeId s : g.children(path[a])) {
      if (s != path[a + 1]) alternatives = SubtreeIdeals::product(alternatives, ideals.of(s));
    }
    out.extras = SubtreeIdeals::product(out.extras, alternatives);
  }
  return out;
}

// log_orders: ln of the number of linear extensions of the forest P, by the
// hook-length formula; `within` is scratch of n entries.
double log_orders(const Dag& g, const TreeShape& shape, std::uint64_t p,
                  std::vector<std::uint64_t>& within) {
  if (p == 0) return 0.0;
  for (auto it = shape.order.rbegin(); it != shape.order.rend(); ++it) {
    if (!((p >> *it) & 1)) continue;
    within[*it] = 1;
    for (NodeId c : g.children(*it)) {
      if ((p >> c) & 1) within[*it] += within[c];
    }
  }
  double hooks = 0.0;
  for (std::uint64_t rest = p; rest != 0; rest &= rest - 1) {
    hooks += shape.log_int[within[__builtin_ctzll(rest)]];
  }
  return shape.log_fact[static_cast<std::size_t>(__builtin_popcountll(p))] - hooks;
}

}  // namespace

Result<AsvResult> exact_tree(const ExplainerState& state, ValueOracle& oracle) {
  const Dag& g = state.graph();
  Result<NodeId> root = is_rooted_tree(g);
  if (!root) return std::unexpected(root.error());
  const std::size_t n = g.n_nodes();
  if (n > kMaxBitmaskNodes) return std::unexpected(bitmask_limit(n));
  const TreeShape shape(g, *root);
  SubtreeIdeals ideals(g);
  ValueLookup value(oracle);
  std::vector<double> acc(n, 0.0);
  std::vector<std::uint64_t> within(n);  // members of P in each subtree
  for (NodeId f = 0; f < n; ++f) {
    if (Result<void> r = check_interrupt(); !r) return std::unexpected(r.error());
    const PredecessorSets sets = predecessor_sets(g, shape, ideals, f);
    for (std::uint64_t extra : sets.extras) {
      const std::uint64_t p = sets.ancestors | extra;
      const std::uint64_t q = p | (std::uint64_t{1} << f);
      const std::size_t p_size = static_cast<std::size_t>(__builtin_popcountll(p));
      double log_sizes = -0.0;
      for (std::uint64_t rest = q; rest != 0; rest &= rest - 1) {
        log_sizes += shape.log_size[__builtin_ctzll(rest)];
      }
      // The probability that P is exactly the set of nodes before f.
      const double w =
          std::exp(log_sizes + (log_orders(g, shape, p, within) + shape.log_fact[n - p_size - 1]) -
                   shape.log_fact[n]);
      Result<double> vq = value(q);
      if (!vq) return std::unexpected(vq.error());
      Result<double> vp = value(p);
      if (!vp) return std::unexpected(vp.error());
      acc[f] = w * (*vq - *vp) + acc[f];
    }
  }
  return AsvResult::exact(std::move(acc), 0);
}

}  // namespace morvend

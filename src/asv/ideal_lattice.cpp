#include "asv/ideal_lattice.hpp"

#include <algorithm>
#include <numeric>

#include "graph/interrupt_meter.hpp"

namespace morvend {
namespace {

bool has(std::span<const std::uint64_t> set, NodeId v) { return (set[v / 64] >> (v % 64)) & 1; }

// Frontiers: for each ideal of the current level, the nodes it can take (not
// in it, every parent in it), ascending.
struct Frontiers {
  std::vector<std::size_t> begin{0};
  std::vector<NodeId> nodes;
  std::span<const NodeId> of(std::size_t k) const {
    return std::span<const NodeId>(nodes).subspan(begin[k], begin[k + 1] - begin[k]);
  }
};

// Candidate: ideal `from` of the current level plus node x.
struct Candidate {
  std::size_t from;
  NodeId x;
};

// The bytes an ideal takes (its words, two counts, its level and transition
// offsets), one transition, and one candidate while a level is built, for the
// memory budget.
std::uint64_t ideal_bytes(std::size_t words) { return 8 * words + 2 * sizeof(ScaledCount) + 16; }
constexpr std::uint64_t kTransitionBytes = sizeof(NodeId) + sizeof(std::size_t);
std::uint64_t candidate_bytes(std::size_t words) {
  return sizeof(Candidate) + 8 * words + 3 * sizeof(std::size_t);
}

// sort_checked: sorts `v` by the strict total order `less` (the order
// std::sort gives), checking for interrupts every kSortRun elements sorted
// or merged: a level of millions of candidates otherwise sorts for a fifth
// of a second unchecked. Runs are sorted, then merged bottom up.
constexpr std::size_t kSortRun = std::size_t{1} << 13;

template <class Less>
Result<void> sort_checked(std::vector<std::size_t>& v, Less less) {
  const std::size_t size = v.size();
  const auto at = [&](std::size_t k) { return v.begin() + static_cast<std::ptrdiff_t>(std::min(k, size)); };
  for (std::size_t first = 0; first < size; first += kSortRun) {
    if (Result<void> r = check_interrupt(); !r) return r;
    std::sort(at(first), at(first + kSortRun), less);
  }
  std::vector<std::size_t> out(size);
  for (std::size_t width = kSortRun; width < size; width *= 2) {
    for (std::size_t first = 0; first < size; first += 2 * width) {
      const std::size_t mid = std::min(first + width, size), last = std::min(first + 2 * width, size);
      std::size_t i = first, j = mid, o = first;
      while (i < mid && j < last) {
        if (o % kSortRun == 0) {
          if (Result<void> r = check_interrupt(); !r) return r;
        }
        out[o++] = less(v[j], v[i]) ? v[j++] : v[i++];
      }
      std::copy(v.begin() + static_cast<std::ptrdiff_t>(i), v.begin() + static_cast<std::ptrdiff_t>(mid),
                out.begin() + static_cast<std::ptrdiff_t>(o));
      o += mid - i;
      std::copy(v.begin() + static_cast<std::ptrdiff_t>(j), v.begin() + static_cast<std::ptrdiff_t>(last),
                out.begin() + static_cast<std::ptrdiff_t>(o));
    }
    v.swap(out);
  }
  return {};
}

class LatticeBuilder {
 public:
  LatticeBuilder(const Dag& g, std::uint64_t limit, std::uint64_t memory_budget)
      : g_(g), limit_(limit), budget_(memory_budget) {
    l_.n_nodes = g.n_nodes();
    l_.words = std::max<std::size_t>(1, (g.n_nodes() + 63) / 64);
  }

  Result<std::optional<IdealLattice>> build() {
    // Level 0: the empty set, which can take every root.
    l_.sets.assign(l_.words, 0);
    l_.level_begin = {0, 1};
    Frontiers cur;
    for (NodeId v = 0; v < g_.n_nodes(); ++v) {
      if (g_.parents(v).empty()) cur.nodes.push_back(v);
    }
    cur.begin.push_back(cur.nodes.size());
    if (!fits(1)) return std::optional<IdealLattice>();
    for (std::size_t k = 0; k < g_.n_nodes(); ++k) {
      Result<bool> grown = grow(cur);
      if (!grown) return std::unexpected(std::move(grown.error()));
      if (!*grown) return std::optional<IdealLattice>();
    }
    // The full set has no transitions; then the end of the last range.
    l_.out_begin.push_back(l_.out_node.size());
    l_.out_begin.push_back(l_.out_node.size());
    count();
    return std::optional<IdealLattice>(std::move(l_));
  }

 private:
  // fits: whether `ideals` ideals, `transitions` transitions and `candidates`
  // candidates stay within the limit and the memory budget.
  bool fits(std::uint64_t ideals, std::uint64_t transitions = 0,
            std::uint64_t candidates = 0) const {
    if (ideals > limit_) return false;
    const double bytes = double(ideals) * double(ideal_bytes(l_.words)) +
                         double(transitions) * double(kTransitionBytes) +
                         double(candidates) * double(candidate_bytes(l_.words));
    return bytes <= double(budget_);
  }

  // grow: appends the next level and the current level's transitions; false
  // when the ideals would not fit.
  Result<bool> grow(Frontiers& cur) {
    const std::size_t first = l_.level_begin[l_.level_begin.size() - 2];
    const std::size_t last = l_.level_begin.back();
    // Before allocating anything: an ideal of k + 1 nodes is reached from at
    // most k + 1 ideals (drop one of its nodes), so the candidates give a
    // lower bound on the next level; a lattice that cannot fit stops here.
    const std::uint64_t n_cand = cur.nodes.size();
    const std::uint64_t level = l_.level_begin.size() - 1;  // of the new ideals
    const std::uint64_t least = (n_cand + level - 1) / level;
    if (!fits(last + least, l_.out_node.size() + n_cand, n_cand)) return false;
    std::vector<Candidate> cand;
    cand.reserve(n_cand);
    const std::size_t base = l_.out_node.size();
    for (std::size_t i = first; i < last; ++i) {
      if (Result<void> r = meter_.spend(1 + cur.of(i - first).size()); !r)
        return std::unexpected(r.error());
      l_.out_begin.push_back(base + cand.size());
      for (NodeId x : cur.of(i - first)) cand.push_back({i, x});
    }
    // Sort the candidates by the set they make, to merge the same set reached
    // from several ideals. Reserved, not sized: zeroing a large level's sets
    // at once was work no check saw (asks 38 ms apart on a 200-node DAG, the
    // poll allowing 20); the loop below writes them, checked.
    std::vector<std::uint64_t> made;
    made.reserve(cand.size() * l_.words);
    for (std::size_t c = 0; c < cand.size(); ++c) {
      if (Result<void> r = meter_.spend(l_.words); !r) return std::unexpected(r.error());
      const std::span<const std::uint64_t> from = l_.set(cand[c].from);
      made.insert(made.end(), from.begin(), from.end());
      made[c * l_.words + cand[c].x / 64] |= std::uint64_t{1} << (cand[c].x % 64);
    }
    auto set_of = [&](std::size_t c) {
      return std::span<const std::uint64_t>(made.data() + c * l_.words, l_.words);
    };
    std::vector<std::size_t> by_set(cand.size());
    std::iota(by_set.begin(), by_set.end(), 0);
    if (Result<void> r = sort_checked(by_set, [&](std::size_t a, std::size_t b) {
          const auto sa = set_of(a), sb = set_of(b);
          for (std::size_t w = l_.words; w-- > 0;) {
            if (sa[w] != sb[w]) return sa[w] < sb[w];
          }
          return a < b;
        });
        !r) {
      return std::unexpected(r.error());
    }
    std::vector<std::size_t> to(cand.size());
    std::vector<std::size_t> reps;  // the first candidate of each new ideal
    for (std::size_t k = 0; k < by_set.size(); ++k) {
      if (Result<void> r = meter_.spend(l_.words); !r) return std::unexpected(r.error());
      const std::size_t c = by_set[k];
      if (k == 0 || !std::ranges::equal(set_of(c), set_of(by_set[k - 1]))) reps.push_back(c);
      to[c] = last + reps.size() - 1;
    }
    if (!fits(last + reps.size(), l_.out_node.size() + cand.size())) return false;
    // The new level's frontiers are the next candidates: check their count
    // (at least each old frontier less its node) the same way before
    // building them.
    std::uint64_t next_cand = 0;
    for (std::size_t c : reps) next_cand += cur.of(cand[c].from - first).size() - 1;
    const std::uint64_t next_least = (next_cand + level) / (level + 1);
    if (!fits(last + reps.size() + next_least, l_.out_node.size() + cand.size() + next_cand,
              next_cand)) {
      return false;
    }
    // Transitions, grouped by source ideal (candidate order).
    for (std::size_t c = 0; c < cand.size(); ++c) {
      if (Result<void> r = meter_.spend(1); !r) return std::unexpected(r.error());
      l_.out_node.push_back(cand[c].x);
      l_.out_to.push_back(to[c]);
    }

    // The new level and its frontiers: the old frontier less x, plus each
    // child of x whose parents are now all in.
    Frontiers next;
    for (std::size_t c : reps) {
      if (Result<void> r = meter_.spend(l_.words + cur.of(cand[c].from - first).size()); !r) {
        return std::unexpected(r.error());
      }
      const std::span<const std::uint64_t> t = set_of(c);
      l_.sets.insert(l_.sets.end(), t.begin(), t.end());
      const std::size_t old_start = next.nodes.size();
      for (NodeId y : cur.of(cand[c].from - first)) {
        if (y != cand[c].x) next.nodes.push_back(y);
      }
      for (NodeId child : g_.children(cand[c].x)) {
        const auto parents = g_.parents(child);
        if (std::ranges::all_of(parents, [&](NodeId p) { return has(t, p); })) {
          next.nodes.push_back(child);
        }
      }
      std::sort(next.nodes.begin() + static_cast<std::ptrdiff_t>(old_start), next.nodes.end());
      next.begin.push_back(next.nodes.size());
    }
    l_.level_begin.push_back(last + reps.size());
    cur = std::move(next);
    return true;
  }

  // count: orders forward from the empty set, completions backward from the
  // full one, along the transitions.
  void count() {
    const std::size_t size = l_.level_begin.back();
    l_.orders.assign(size, ScaledCount());
    l_.completions.assign(size, ScaledCount());
    l_.orders[0] = ScaledCount::one();
    for (std::size_t i = 0; i < size; ++i) {
      for (std::size_t t = l_.out_begin[i]; t < l_.out_begin[i + 1]; ++t) {
        l_.orders[l_.out_to[t]] += l_.orders[i];
      }
    }
    l_.completions[size - 1] = ScaledCount::one();
    for (std::size_t i = size - 1; i-- > 0;) {
      ScaledCount c;
      for (std::size_t t = l_.out_begin[i]; t < l_.out_begin[i + 1]; ++t) {
        c += l_.completions[l_.out_to[t]];
      }
      l_.completions[i] = c;
    }
  }

  const Dag& g_;
  std::uint64_t limit_;
  std::uint64_t budget_;
  IdealLattice l_;
  InterruptMeter meter_;
};

}  // namespace

std::uint64_t lattice_bytes(const IdealLattice& l) {
  return l.size() * ideal_bytes(l.words) + l.out_node.size() * kTransitionBytes;
}

Result<std::optional<IdealLattice>> build_lattice(const Dag& g, std::uint64_t limit,
                                                  std::uint64_t memory_budget) {
  return LatticeBuilder(g, limit, memory_budget).build();
}

}  // namespace morvend

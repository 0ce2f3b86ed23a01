#include "budget/paired_strata.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "budget/evaluate.hpp"
#include "budget/sparse_fit.hpp"
#include "coalition/coalition.hpp"
#include "graph/interrupt.hpp"
#include "graph/limits.hpp"
#include "sampler/sampler.hpp"

namespace morvend {
namespace {

using Words = std::vector<std::uint64_t>;

// choose: C(n, s) as a double (infinite past its range, which only ever
// compares as "too many to take whole").
double choose(std::size_t n, std::size_t s) {
  double c = 1.0;
  for (std::size_t k = 0; k < s; ++k) c = c * double(n - k) / double(k + 1);
  return c;
}

// Stratum: sizes s and n - s; rows [first, first + rows) of the coalitions,
// each coalition followed by its complement (for s = n / 2 the complements
// are other coalitions of the stratum when it is whole).
struct Stratum {
  std::size_t size = 0;
  bool whole = false;
  std::size_t first = 0, rows = 0;
};

struct Sets {
  std::size_t n, words;
  Words full;

  Sets(std::size_t n_nodes) : n(n_nodes), words((n_nodes + 63) / 64), full(words, 0) {
    for (std::size_t x = 0; x < n; ++x) full[x / 64] |= std::uint64_t{1} << (x % 64);
  }
  Words complement(const Words& s) const {
    Words c(words);
    for (std::size_t w = 0; w < words; ++w) c[w] = full[w] & ~s[w];
    return c;
  }
  static bool has(const Words& s, std::size_t x) { return (s[x / 64] >> (x % 64)) & 1u; }
  static void put(Words& s, std::size_t x) { s[x / 64] |= std::uint64_t{1} << (x % 64); }
};

// add_whole: every coalition of size s, each followed by its complement
// unless s = n / 2 (then the complement comes on its own turn).
Result<void> add_whole(const Sets& sets, std::size_t s, CoalitionList& out) {
  std::vector<std::size_t> pick(s);
  for (std::size_t k = 0; k < s; ++k) pick[k] = k;
  const bool middle = 2 * s == sets.n;
  while (true) {
    if (Result<void> r = check_interrupt(); !r) return r;
    Words set(sets.words, 0);
    for (std::size_t x : pick) Sets::put(set, x);
    out.append(set);
    if (!middle) out.append(sets.complement(set));
    // Next combination in lexicographic order.
    std::size_t k = s;
    while (k > 0 && pick[k - 1] == sets.n - s + k - 1) --k;
    if (k == 0) return {};
    ++pick[k - 1];
    for (std::size_t j = k; j < s; ++j) pick[j] = pick[j - 1] + 1;
  }
}

// add_sample: `pairs` distinct pairs of a uniform coalition of size s and its
// complement; for s = n / 2 a pair is told apart by its member holding node 0.
Result<void> add_sample(const Sets& sets, std::size_t s, std::size_t pairs, SampleRng& rng,
                        CoalitionList& out) {
  const bool middle = 2 * s == sets.n;
  CoalitionIndex seen(sets.words);
  while (seen.size() < pairs) {
    if (Result<void> r = check_interrupt(); !r) return r;
    // Floyd's algorithm: s distinct nodes in s draws.
    Words set(sets.words, 0);
    for (std::size_t j = sets.n - s; j < sets.n; ++j) {
      const std::size_t t = static_cast<std::size_t>(draw_below(rng, j + 1));
      Sets::put(set, Sets::has(set, t) ? j : t);
    }
    Words other = sets.complement(set);
    const Words& key = middle && !Sets::has(set, 0) ? other : set;
    const std::size_t known = seen.size();
    if (seen.insert(key) < known) continue;  // met before
    out.append(set);
    out.append(other);
  }
  return {};
}

// Plan: the empty and the full coalition first, then the strata from the
// smallest sizes in: a stratum is whole when its coalitions fit an even share
// of what is left (or all the remaining ones fit), else gets that share in
// pairs; what a whole stratum leaves over goes to the larger ones.
struct Plan {
  CoalitionList coalitions;
  std::vector<Stratum> strata;
};

Result<std::optional<Plan>> plan(std::size_t n, const WithinOptions& options) {
  const std::size_t count = n / 2;
  if (options.max_calls < 2 || options.max_calls - 2 < 4 * count) return std::nullopt;
  Sets sets(n);
  Plan p{.coalitions = CoalitionList(sets.words), .strata = {}};
  p.coalitions.append(Words(sets.words, 0));
  p.coalitions.append(sets.full);
  SampleRng rng = options.seed ? rng_from_seed(*options.seed) : rng_from_entropy();
  std::uint64_t left = options.max_calls - 2;
  auto whole_rows = [n](std::size_t s) { return (2 * s == n ? 1.0 : 2.0) * choose(n, s); };
  double rest = 0.0;  // rows of the strata not planned yet, all whole
  for (std::size_t s = 1; s <= count; ++s) rest += whole_rows(s);
  for (std::size_t s = 1; s <= count; ++s) {
    const std::uint64_t share = left / (count - s + 1);
    const bool whole = whole_rows(s) <= double(share) || rest <= double(left);
    rest -= whole_rows(s);
    Stratum st{.size = s, .whole = whole, .first = p.coalitions.size()};
    Result<void> r = st.whole ? add_whole(sets, s, p.coalitions)
                              : add_sample(sets, s, static_cast<std::size_t>(share / 2), rng,
                                           p.coalitions);
    if (!r) return std::unexpected(std::move(r.error()));
    st.rows = p.coalitions.size() - st.first;
    left -= st.rows;
    p.strata.push_back(st);
  }
  return p;
}

// OddFit: what the surrogate is fitted to. A pair's values enter the
// estimate only through d(S) = v(S) - v(S'), so the surrogate models d
// directly (sparse_fit.hpp, odd): h(S) = c + sum of a_i over S + sum of
// b_T o_T(S), S the pair's smaller side. Rows: one per pair of every stratum
// but a whole middle one (whose sets come without their complements next to
// them). Unweighted: weighing the rows by the strata's Shapley-kernel mass
// gave mixed results on the benchmark games, no gain.
struct OddFit {
  CoalitionList sets;
  std::vector<double> d;
};

// odd_row_count: the rows odd_rows gives, without copying their sets.
std::size_t odd_row_count(std::size_t n, const Plan& p) {
  std::size_t rows = 0;
  for (const Stratum& st : p.strata) {
    if (!(st.whole && 2 * st.size == n)) rows += st.rows / 2;
  }
  return rows;
}

// odd_rows: the rows of the whole strata and of every fold but `skip` of the
// sampled ones.
OddFit odd_rows(std::size_t n, const Plan& p, const std::vector<double>& v, std::size_t folds,
                std::size_t skip) {
  OddFit f{.sets = CoalitionList(p.coalitions.width()), .d = {}};
  for (const Stratum& st : p.strata) {
    if (st.whole && 2 * st.size == n) continue;
    for (std::size_t j = 0; j < st.rows / 2; ++j) {
      const std::size_t k = st.first + 2 * j;
      if (!st.whole && j % folds == skip) continue;
      f.sets.append(p.coalitions[k]);
      f.d.push_back(v[k] - v[k + 1]);
    }
  }
  return f;
}

// fold_surrogates: the surrogate of d fitted once per fold, its products
// chosen and its coefficients fitted without the sampled pairs of that fold
// (pair j of a stratum is in fold j % folds), so that the residuals it
// corrects are not shrunk in-sample. Each fold may spend kOddFitWorkShare
// of the budget's fit work: this is the estimate's only costly phase. None
// when even the additive terms do not fit.
Result<std::vector<SparseSurrogate>> fold_surrogates(std::size_t n, const Plan& p, const std::vector<double>& v,
                                                     std::size_t folds, std::uint64_t max_calls) {
  const std::size_t row_count = odd_row_count(n, p);
  const double work = kOddFitWorkShare * fit_work_budget(double(max_calls));
  if (n + 1 > std::min(kMaxSurrogateTerms, row_count) || sparse_fit_work(n, row_count) > work / 2.0) {
    return std::vector<SparseSurrogate>();
  }
  // Candidate pairs, to seed the triples: as many as one screen can read
  // within a twentieth of the work.
  const double per_pair = double(row_count) / 64.0 + double(row_count) / 3.0;
  const auto limit = static_cast<std::size_t>(std::min(work / 20.0 / per_pair, double(kMaxScreenedPairs)));
  std::vector<NodePair> pairs;
  for (NodeId i = 0; i < n && pairs.size() < limit; ++i) {
    for (NodeId j = i + 1; j < n && pairs.size() < limit; ++j) pairs.emplace_back(i, j);
  }
  std::vector<SparseSurrogate> out;
  for (std::size_t k = 0; k < folds; ++k) {
    // Only now the rows' sets are copied: at 10,000 nodes and 10^6 calls
    // they are 600 MB, for a surrogate that cannot be fitted.
    const OddFit f = odd_rows(n, p, v, folds, k);
    Result<SparseSurrogate> h = fit_sparse_surrogate(
        {.n = n, .words = f.sets.width(), .sets = f.sets.all(), .values = f.d, .pairs = pairs, .work = work, .odd = true});
    if (!h) return std::unexpected(std::move(h.error()));
    out.push_back(std::move(*h));
  }
  return out;
}

// odd_value: h(S) for a surrogate of d.
double odd_value(const SparseSurrogate& h, std::span<const std::uint64_t> set) {
  auto has = [&](NodeId x) { return (set[x / 64] >> (x % 64)) & 1u; };
  double out = h.intercept;
  for (NodeId i = 0; i < h.additive.size(); ++i) {
    if (has(i)) out += h.additive[i];
  }
  for (std::size_t k = 0; k < h.products.size(); ++k) {
    const Product& t = h.products[k];
    std::size_t in = 0;
    for (std::size_t m = 0; m < t.size; ++m) in += has(t.nodes[m]);
    if (in == t.size) out += h.coef[k];
    if (in == 0) out -= h.coef[k];
  }
  return out;
}

// q: P(t given nodes lie in a uniform coalition of size s of n).
double q(std::size_t n, std::size_t s, std::size_t t) {
  double out = 1.0;
  for (std::size_t k = 0; k < t; ++k) out *= k < s ? double(s - k) / double(n - k) : 0.0;
  return out;
}

// stratum_share: E[h(S) (n [i in S] - s) / (s (n - s))] for S uniform of
// size s, for every node i at once. The intercept adds nothing; a_i adds
// (a_i - A / n) / (n - 1) whatever s (A the sum of the a); a term b_T o_T,
// with t = |T|, qa = P(T within S) and qb = P(T within S'), adds to its
// members b_T (qa (n - s) + qb s) / (s (n - s)), and to the others
// b_T (qa (n (s - t) / (n - t) - s) - qb (n s / (n - t) - s)) / (s (n - s)).
std::vector<double> stratum_share(std::size_t n, std::size_t s, const SparseSurrogate& h) {
  const double nn = double(n), ss = double(s), norm = ss * (nn - ss);
  double a_total = 0.0;
  for (double a : h.additive) a_total += a;
  std::vector<double> share(n);
  for (std::size_t i = 0; i < n; ++i) share[i] = (h.additive[i] - a_total / nn) / (nn - 1.0);
  double others = 0.0;
  for (std::size_t k = 0; k < h.products.size(); ++k) {
    const Product& t = h.products[k];
    const double tt = double(t.size), qa = q(n, s, t.size), qb = q(n, n - s, t.size);
    const double member = (qa * (nn - ss) + qb * ss) / norm;
    const double other =
        t.size < n ? (qa * (nn * (ss - tt) / (nn - tt) - ss) - qb * (nn * ss / (nn - tt) - ss)) / norm : 0.0;
    others += h.coef[k] * other;
    for (std::size_t m = 0; m < t.size; ++m) share[t.nodes[m]] += h.coef[k] * (member - other);
  }
  for (double& x : share) x += others;
  return share;
}

// small_sample_widening: t / z at 95% for the degrees of freedom of a sum
// of stratum variances (Welch-Satterthwaite: total^2 / spread, spread the sum
// of each stratum's squared variance over its degrees of freedom). Strata of
// a few pairs each estimate their variances poorly, and the normal interval
// then covers less than it claims.
double small_sample_widening(double total, double spread) {
  if (!(spread > 0.0)) return 1.0;
  const double dof = std::max(1.0, total * total / spread);
  const double z = 1.959963984540054, z3 = z * z * z, z5 = z3 * z * z, z7 = z5 * z * z;
  // The Cornish-Fisher series of the t quantile in 1 / dof.
  const double t = z + (z3 + z) / (4.0 * dof) + (5.0 * z5 + 16.0 * z3 + 3.0 * z) / (96.0 * dof * dof) +
                   (3.0 * z7 + 19.0 * z5 + 17.0 * z3 - 15.0 * z) / (384.0 * dof * dof * dof);
  return t / z;
}

template <class Oracle>
Result<std::optional<WithinEstimate>> run(std::size_t n, Oracle& oracle,
                                          const WithinOptions& options) {
  Result<std::optional<Plan>> p = plan(n, options);
  if (!p) return std::unexpected(std::move(p.error()));
  if (!*p) return std::nullopt;
  const Plan& pl = **p;
  Result<std::vector<double>> v = evaluate(pl.coalitions.all(), pl.coalitions.width(), oracle, options.batch_size,
                                           options.progress);
  if (!v) return std::unexpected(std::move(v.error()));
  const std::size_t folds = kSurrogateFolds;
  Result<std::vector<SparseSurrogate>> g = fold_surrogates(n, pl, *v, folds, options.max_calls);
  if (!g) return std::unexpected(std::move(g.error()));

  WithinEstimate out;
  // The ends and the whole strata are exact sums of the values themselves.
  out.values.assign(n, ((*v)[1] - (*v)[0]) / double(n));
  std::vector<double> variance(n, 0.0), spread(n, 0.0), sum(n), sq(n), u(n);
  // The residuals' part of the estimate, per node: what the fold surrogates'
  // shares of the sampled strata leave.
  std::vector<double> correction(n, 0.0);
  // Per node, over the pairs whose S holds it, and as if every pair's did.
  std::vector<double> member_sum(n), member_sq(n), as_member_sum(n), as_member_sq(n), members(n);
  std::size_t sampled_pairs = 0;
  double scale = 0.0;  // the largest quantity the sampled strata sum
  // Per fold and node: the fold's own estimate of the sampled strata, and one
  // stratum's sum over the fold's pairs.
  std::vector<double> fold_est(folds * n, 0.0), fold_part(folds * n);
  for (const Stratum& st : pl.strata) {
    if (Result<void> e = check_interrupt(); !e) return std::unexpected(std::move(e.error()));
    const std::size_t s = st.size;
    const bool middle = 2 * s == n;
    if (st.whole) {
      // The stratum's sum itself: each row's term v(T) (n [i in T] - t) / (t (n - t)) / C(n, t).
      const double c = choose(n, s);
      for (std::size_t k = st.first; k < st.first + st.rows; ++k) {
        const std::span<const std::uint64_t> t = pl.coalitions[k];
        std::size_t size = 0;
        for (std::uint64_t w : t) size += static_cast<std::size_t>(__builtin_popcountll(w));
        const double in = (*v)[k] / double(size) / c, out_ = -(*v)[k] / double(n - size) / c;
        for (std::size_t i = 0; i < n; ++i)
          out.values[i] += (t[i / 64] >> (i % 64)) & 1u ? in : out_;
      }
      continue;
    }
    // A pair (S, complement) contributes e / s to the members of S and
    // -e / (n - s) to the others, e = v(S) - v(S') - h(S) the residual of its
    // fold surrogate h, plus h's exact share of the stratum; half of both for
    // s = n / 2, where each pair stands for two coalitions of the stratum.
    // There the pair's S holds node 0, and only h's part that changes sign
    // with the complement, (h(S) - h(S')) / 2, has the stratum's share.
    const std::size_t pairs = st.rows / 2;
    sampled_pairs += pairs;
    const double half = middle ? 0.5 : 1.0;
    // Each fold surrogate's exact share of the stratum, per node: the same
    // for every pair of the fold (pair j is fold j % folds, so a stratum of
    // fewer pairs than folds leaves some out).
    std::vector<std::vector<double>> shares;
    for (std::size_t k = 0; k < std::min(g->size(), pairs); ++k) {
      std::vector<double>& share = shares.emplace_back(stratum_share(n, s, (*g)[k]));
      for (double& x : share) {
        x *= half;
        scale = std::max(scale, std::abs(x));
      }
    }
    for (auto* x : {&sum, &sq, &member_sum, &member_sq, &as_member_sum, &as_member_sq, &members,
                    &fold_part}) {
      std::fill(x->begin(), x->end(), 0.0);
    }
    for (std::size_t j = 0; j < pairs; ++j) {
      if ((j & 1023) == 0) {
        if (Result<void> e = check_interrupt(); !e) return std::unexpected(std::move(e.error()));
      }
      const std::size_t k = st.first + 2 * j, fold = j % folds;
      const std::span<const std::uint64_t> t = pl.coalitions[k];
      double d = (*v)[k] - (*v)[k + 1];
      scale = std::max({scale, std::abs((*v)[k]), std::abs((*v)[k + 1])});
      if (!g->empty()) {
        const SparseSurrogate& h = (*g)[fold];
        const double fitted = middle ? 0.5 * (odd_value(h, t) - odd_value(h, pl.coalitions[k + 1])) : odd_value(h, t);
        scale = std::max(scale, std::abs(fitted));
        d -= fitted;
      }
      const double in = half * d / double(s), out_ = -half * d / double(n - s);
      for (std::size_t i = 0; i < n; ++i) {
        const bool member = (t[i / 64] >> (i % 64)) & 1u;
        const double h = g->empty() ? 0.0 : shares[fold][i];
        u[i] = (member ? in : out_) + h;
        sum[i] += u[i];
        fold_part[fold * n + i] += u[i];
        sq[i] += u[i] * u[i];
        as_member_sum[i] += in + h;
        as_member_sq[i] += (in + h) * (in + h);
        if (member) {
          member_sum[i] += u[i];
          member_sq[i] += u[i] * u[i];
          members[i] += 1.0;
        }
      }
    }
    for (std::size_t k = 0; k < folds; ++k) {
      // A stratum of fewer pairs than folds adds the same to every fold.
      const double count = double(pairs / folds + (k < pairs % folds ? 1 : 0));
      for (std::size_t i = 0; i < n; ++i) {
        fold_est[k * n + i] += pairs < folds ? sum[i] / double(pairs) : fold_part[k * n + i] / count;
        // Fold k's surrogate share came with each of its pairs.
        if (k < shares.size()) correction[i] -= count * shares[k][i] / double(pairs);
      }
    }
    // Sampling without repeats: the finite-population factor 1 - m / M.
    const double population = middle ? choose(n, s) / 2.0 : choose(n, s);
    const double fpc = std::max(0.0, 1.0 - double(pairs) / population);
    // A node is a member of about pairs * s / n of the pairs: in the small
    // strata of a small budget, of none or one (at 20 nodes and 200 calls, 11
    // of the 20 singletons are in no pair drawn), so its own members' spread
    // misses the rare large terms of membership. Its members' squared
    // deviations are shrunk toward those every pair's S would give it, as if
    // kPooledMemberPairs more pairs had held it. (For s = n / 2 a pair's S
    // holds node 0: every pair holds it, and each other node (s - 1) / (n - 1)
    // of them.)
    for (std::size_t i = 0; i < n; ++i) {
      const double mean = sum[i] / double(pairs);
      out.values[i] += mean;
      correction[i] += mean;
      const double p_member = !middle ? double(s) / double(n)
                              : i == 0 ? 1.0
                                       : double(s - 1) / double(n - 1);
      const double own = member_sq[i] - 2.0 * mean * member_sum[i] + members[i] * mean * mean;
      const double pooled =
          (as_member_sq[i] - 2.0 * mean * as_member_sum[i]) / double(pairs) + mean * mean;
      const double shrunk = double(pairs) * p_member * (own + kPooledMemberPairs * pooled) /
                            (members[i] + kPooledMemberPairs);
      const double ss = sq[i] - double(pairs) * mean * mean - own + shrunk;
      const double var = std::max(0.0, ss) / double(pairs - 1);
      variance[i] += var / double(pairs) * fpc;
      spread[i] += std::pow(var / double(pairs) * fpc, 2) / double(pairs - 1);
    }
  }
  out.stderr_values.resize(n);
  for (std::size_t i = 0; i < n; ++i) {
    // Every stratum whole: exact, no error; too few pairs: no honest error.
    out.stderr_values[i] = sampled_pairs == 0 ? 0.0
                           : sampled_pairs < kMinReplicates ? std::numeric_limits<double>::quiet_NaN()
                                                            : std::sqrt(variance[i]) *
                                                                  small_sample_widening(variance[i], spread[i]);
  }
  if (sampled_pairs > 0) floor_at_rounding(out.stderr_values, scale);
  // Each fold's surrogate comes from one fit on the other folds' pairs, so a
  // fit's error can move a fold's pairs together while their spread stays
  // small. Folds whose estimates disagree far beyond that spread (the error
  // of their mean over kFoldDisagreement times the stderr) give the error
  // instead, as on the orders walked.
  if (sampled_pairs >= kMinReplicates) {
    for (std::size_t i = 0; i < n; ++i) {
      double mean = 0.0, ss = 0.0;
      for (std::size_t k = 0; k < folds; ++k) mean += fold_est[k * n + i] / double(folds);
      for (std::size_t k = 0; k < folds; ++k) ss += std::pow(fold_est[k * n + i] - mean, 2);
      const double between = std::sqrt(ss / double(folds * (folds - 1)));
      if (between > kFoldDisagreement * out.stderr_values[i]) out.stderr_values[i] = between;
    }
  }
  if (!g->empty() && sampled_pairs > 0 && options.max_calls < kPlainSurrogateCallsPerNode * n) {
    // Too few pairs for the correction to pay (limits.hpp): the surrogates'
    // own values, whose bias no spread shows.
    for (std::size_t i = 0; i < n; ++i) {
      out.values[i] -= correction[i];
      out.stderr_values[i] = std::numeric_limits<double>::quiet_NaN();
    }
  }
  out.exact = sampled_pairs == 0;
  out.calls = pl.coalitions.size();
  out.orders = pl.coalitions.size() - 2;
  return std::optional<WithinEstimate>(std::move(out));
}

}  // namespace

Result<std::optional<WithinEstimate>> estimate_paired_strata(std::size_t n, ValueOracle& oracle,
                                                             const WithinOptions& options) {
  return run(n, oracle, options);
}

Result<std::optional<WithinEstimate>> estimate_paired_strata(std::size_t n,
                                                             BatchValueOracle& oracle,
                                                             const WithinOptions& options) {
  return run(n, oracle, options);
}

}  // namespace morvend

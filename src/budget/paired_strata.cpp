#include "budget/paired_strata.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "budget/evaluate.hpp"
#include "budget/surrogate.hpp"
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

// Row weights of the fit: each size's Shapley-kernel mass, (n - 1) / (s (n - s)),
// shared by its rows; the empty and full coalitions weigh as much as all the
// others together, which pins the surrogate's ends.
std::vector<double> fit_weights(std::size_t n, const Plan& p) {
  std::vector<double> w(p.coalitions.size(), 0.0);
  double total = 0.0;
  for (const Stratum& st : p.strata) {
    const double per_size = 2 * st.size == n ? double(st.rows) : double(st.rows) / 2.0;
    const double mass = double(n - 1) / (double(st.size) * double(n - st.size)) / per_size;
    for (std::size_t k = st.first; k < st.first + st.rows; ++k) w[k] = mass;
    total += mass * double(st.rows);
  }
  w[0] = w[1] = total;
  return w;
}

// fold_surrogates: the additive surrogate fitted once per fold, without the
// sampled pairs of that fold (pair j of a stratum is in fold j % folds), so
// that the residuals it corrects are not shrunk in-sample; none when its
// terms are too many for the coalitions or the work.
Result<std::vector<PairSurrogate>> fold_surrogates(std::size_t n, const Plan& p,
                                                   const std::vector<double>& v,
                                                   const std::vector<double>& weights,
                                                   std::size_t folds) {
  const double terms = double(PairSurrogate::terms(n, 0)), rows = double(v.size());
  const double work = rows * (1.0 + double(n) / 2.0) * (1.0 + double(n) / 2.0) * 2.0 +
                      double(folds) * terms * terms * terms / 3.0;
  if (terms > double(kMaxSurrogateTerms) || rows < 2.0 * terms ||
      work > kFitWorkBase + kFitWorkPerCall * rows)
    return std::vector<PairSurrogate>();
  Result<SurrogateFit> fit = SurrogateFit::make(n, {}, p.coalitions.width(), p.coalitions.all(), v, weights);
  if (!fit) return std::unexpected(std::move(fit.error()));
  std::vector<std::vector<std::size_t>> left_out(folds);
  for (const Stratum& st : p.strata) {
    if (st.whole) continue;
    for (std::size_t j = 0; j < st.rows / 2; ++j) {
      left_out[j % folds].push_back(st.first + 2 * j);
      left_out[j % folds].push_back(st.first + 2 * j + 1);
    }
  }
  std::vector<PairSurrogate> g;
  for (std::size_t k = 0; k < folds; ++k) {
    Result<PairSurrogate> gk = fit->fit_without(left_out[k]);
    if (!gk) return std::unexpected(std::move(gk.error()));
    g.push_back(std::move(*gk));
  }
  return g;
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
  Result<std::vector<PairSurrogate>> g = fold_surrogates(n, pl, *v, fit_weights(n, pl), folds);
  if (!g) return std::unexpected(std::move(g.error()));
  // An additive surrogate's share of each stratum of sizes s and n - s is
  // (a_i - A / n) / (n - 1) per size; the estimate of the stratum is the mean,
  // over its pairs, of that share of the pair's fold surrogate plus the
  // pair's estimate of what the surrogate misses.
  std::vector<std::vector<double>> share;
  for (const PairSurrogate& gk : *g) {
    std::vector<double> a = gk.asv({});  // additive: the coefficients
    double total = 0.0;
    for (double x : a) total += x;
    for (double& x : a) x = (x - total / double(n)) / double(n - 1);
    share.push_back(std::move(a));
  }

  WithinEstimate out;
  // The ends and the whole strata are exact sums of the values themselves.
  out.values.assign(n, ((*v)[1] - (*v)[0]) / double(n));
  std::vector<double> variance(n, 0.0), sum(n), sq(n), u(n);
  std::size_t sampled_pairs = 0;
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
    // A pair (S, complement) contributes (r(S) - r(S')) / s to the members of
    // S and (r(S') - r(S)) / (n - s) to the others; half that for s = n / 2,
    // where each pair stands for two coalitions of the stratum.
    const std::size_t pairs = st.rows / 2;
    sampled_pairs += pairs;
    const double half = middle ? 0.5 : 1.0;
    std::fill(sum.begin(), sum.end(), 0.0);
    std::fill(sq.begin(), sq.end(), 0.0);
    for (std::size_t j = 0; j < pairs; ++j) {
      const std::size_t k = st.first + 2 * j;
      const std::span<const std::uint64_t> t = pl.coalitions[k];
      double r_in = (*v)[k], r_out = (*v)[k + 1];
      const PairSurrogate* gk = g->empty() ? nullptr : &(*g)[j % folds];
      if (gk != nullptr) {
        r_in -= (*gk)(t);
        r_out -= (*gk)(pl.coalitions[k + 1]);
      }
      const double d = half * (r_in - r_out);
      const double in = d / double(s), out_ = -d / double(n - s);
      for (std::size_t i = 0; i < n; ++i) {
        u[i] = (t[i / 64] >> (i % 64)) & 1u ? in : out_;
        if (gk != nullptr) u[i] += 2.0 * half * share[j % folds][i];
        sum[i] += u[i];
        sq[i] += u[i] * u[i];
      }
    }
    // Sampling without repeats: the finite-population factor 1 - m / M.
    const double population = middle ? choose(n, s) / 2.0 : choose(n, s);
    const double fpc = std::max(0.0, 1.0 - double(pairs) / population);
    for (std::size_t i = 0; i < n; ++i) {
      const double mean = sum[i] / double(pairs);
      out.values[i] += mean;
      const double var = std::max(0.0, sq[i] - double(pairs) * mean * mean) / double(pairs - 1);
      variance[i] += var / double(pairs) * fpc;
    }
  }
  out.stderr_values.resize(n);
  for (std::size_t i = 0; i < n; ++i) {
    // Every stratum whole: exact, no error; too few pairs: no honest error.
    out.stderr_values[i] = sampled_pairs == 0 ? 0.0
                           : sampled_pairs < kMinReplicates ? std::numeric_limits<double>::quiet_NaN()
                                                            : std::sqrt(variance[i]);
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

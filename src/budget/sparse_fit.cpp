#include "budget/sparse_fit.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <numeric>
#include <optional>

#include <boost/unordered/unordered_flat_set.hpp>

#include "graph/interrupt.hpp"
#include "graph/limits.hpp"

namespace morvend {
namespace {

constexpr std::size_t kFolds = kSurrogateFolds;

// Sets of rows, `width` words each: a term's indicator over the coalitions.
std::size_t count_and(const std::uint64_t* a, const std::uint64_t* b, std::size_t width) {
  std::size_t c = 0;
  for (std::size_t w = 0; w < width; ++w) c += static_cast<std::size_t>(std::popcount(a[w] & b[w]));
  return c;
}
std::size_t count_and(const std::uint64_t* a, const std::uint64_t* b, const std::uint64_t* c,
                      std::size_t width) {
  std::size_t k = 0;
  for (std::size_t w = 0; w < width; ++w) k += static_cast<std::size_t>(std::popcount(a[w] & b[w] & c[w]));
  return k;
}
// sum_and: the sum of x over the rows of a & b.
double sum_and(const std::uint64_t* a, const std::uint64_t* b, std::size_t width, const double* x) {
  double s = 0.0;
  for (std::size_t w = 0; w < width; ++w) {
    for (std::uint64_t bits = a[w] & b[w]; bits != 0; bits &= bits - 1) {
      s += x[w * 64 + static_cast<std::size_t>(std::countr_zero(bits))];
    }
  }
  return s;
}

// GrowingCholesky: the lower factor L of a Gram matrix plus its ridge,
// packed by rows, to which columns are appended: appending costs p^2 / 2,
// and any leading block is the factor of the first columns alone.
class GrowingCholesky {
 public:
  std::size_t size() const { return p_; }
  // append: a column with inner products `g` with the columns so far, and
  // `diag` its own (ridge included, > 0).
  void append(std::span<const double> g, double diag) {
    const std::size_t p = p_, at = l_.size();
    l_.resize(at + p + 1);
    double* row = l_.data() + at;
    double ss = 0.0;
    for (std::size_t k = 0; k < p; ++k) {
      const double* lk = l_.data() + k * (k + 1) / 2;
      double s = g[k];
      for (std::size_t j = 0; j < k; ++j) s -= lk[j] * row[j];
      row[k] = s / lk[k];
      ss += row[k] * row[k];
    }
    // The ridge bounds the pivot below; rounding must not take it under.
    row[p] = std::sqrt(std::max(diag - ss, diag * 1e-12));
    ++p_;
  }
  // solve: x with (L L^T) x = b over the first q columns.
  void solve(std::span<const double> b, std::size_t q, std::vector<double>& x) const {
    x.assign(b.begin(), b.begin() + static_cast<std::ptrdiff_t>(q));
    for (std::size_t i = 0; i < q; ++i) {
      const double* li = l_.data() + i * (i + 1) / 2;
      double s = x[i];
      for (std::size_t j = 0; j < i; ++j) s -= li[j] * x[j];
      x[i] = s / li[i];
    }
    for (std::size_t i = q; i-- > 0;) {
      const double* li = l_.data() + i * (i + 1) / 2;
      x[i] /= li[i];
      for (std::size_t j = 0; j < i; ++j) x[j] -= li[j] * x[i];
    }
  }

 private:
  std::size_t p_ = 0;
  std::vector<double> l_;
};

// Selection: the columns chosen so far (intercept, the nodes, then
// products), and one ridge fit per fold without that fold's rows, plus one
// on every row. A column is 1 on the rows of `pos`, -1 on those of `neg`
// (odd products), 0 elsewhere.
class Selection {
 public:
  explicit Selection(const SparseFitInput& in)
      : rows_(in.values.size()), width_((rows_ + 63) / 64), y_(in.values.begin(), in.values.end()) {
    all_.assign(width_, ~std::uint64_t{0});
    if (rows_ % 64 != 0) all_.back() = (std::uint64_t{1} << (rows_ % 64)) - 1;
    train_.assign(kFolds + 1, all_);
    for (std::size_t r = 0; r < rows_; ++r) {
      train_[r % kFolds][r / 64] &= ~(std::uint64_t{1} << (r % 64));
    }
    for (std::size_t f = 0; f <= kFolds; ++f) fit_rows_.push_back(double(count_and(all_.data(), train_[f].data(), width_)));
    held_.resize(kFolds * width_);
    for (std::size_t f = 0; f < kFolds; ++f) {
      for (std::size_t w = 0; w < width_; ++w) held_[f * width_ + w] = all_[w] & ~train_[f][w];
    }
    rhs_.resize(kFolds + 1);
    chol_.resize(kFolds + 1);
    node_rows_.assign(in.n * width_, 0);
    for (std::size_t r = 0; r < rows_; ++r) {
      const std::uint64_t* set = in.sets.data() + r * in.words;
      for (std::size_t w = 0; w < in.words; ++w) {
        for (std::uint64_t bits = set[w]; bits != 0; bits &= bits - 1) {
          const std::size_t i = w * 64 + static_cast<std::size_t>(std::countr_zero(bits));
          node_rows_[i * width_ + r / 64] |= std::uint64_t{1} << (r % 64);
        }
      }
    }
    if (in.odd) {
      out_rows_.resize(in.n * width_);
      for (std::size_t k = 0; k < out_rows_.size(); ++k) out_rows_[k] = all_[k % width_] & ~node_rows_[k];
    }
  }

  std::size_t rows() const { return rows_; }
  std::size_t width() const { return width_; }
  std::size_t terms() const { return chol_[0].size(); }
  const std::uint64_t* node(NodeId i) const { return node_rows_.data() + i * width_; }
  // outside: the rows whose coalition lacks i (odd fits only).
  const std::uint64_t* outside(NodeId i) const { return out_rows_.data() + i * width_; }
  const std::uint64_t* all() const { return all_.data(); }
  double spent() const { return spent_; }
  void spend(double ops) { spent_ += ops; }

  // add: a column 1 on `pos` and -1 on `neg` (empty: none), its ridge per
  // row fitted on. Fails only when interrupted (the selection is then spent).
  [[nodiscard]] Result<void> add(std::span<const std::uint64_t> pos, std::span<const std::uint64_t> neg,
                                 double ridge) {
    const std::size_t p = terms();
    const bool odd = !neg.empty();
    // The inner product of columns (a+ - a-) and (b+ - b-) over rows t.
    auto dot = [&](const std::uint64_t* a, const std::uint64_t* a_neg, const std::uint64_t* t) {
      double g = double(count_and(a, pos.data(), t, width_));
      if (odd) g -= double(count_and(a, neg.data(), t, width_));
      if (a_neg != nullptr) {
        g -= double(count_and(a_neg, pos.data(), t, width_));
        if (odd) g += double(count_and(a_neg, neg.data(), t, width_));
      }
      return g;
    };
    g_.resize(p);
    for (std::size_t f = 0; f <= kFolds; ++f) {
      // A fold's inner products take up to 60 ms at 10^6 calls.
      if (Result<void> r = check_interrupt(); !r) return r;
      const std::uint64_t* t = train_[f].data();
      for (std::size_t k = 0; k < p; ++k) {
        g_[k] = dot(&cols_[k * width_], neg_at_[k] == kNone ? nullptr : &negs_[neg_at_[k]], t);
      }
      chol_[f].append(g_, dot(pos.data(), odd ? neg.data() : nullptr, t) + ridge * fit_rows_[f]);
      double rhs = sum_and(pos.data(), t, width_, y_.data());
      if (odd) rhs -= sum_and(neg.data(), t, width_, y_.data());
      rhs_[f].push_back(rhs);
    }
    cols_.insert(cols_.end(), pos.begin(), pos.end());
    neg_at_.push_back(neg.empty() ? kNone : negs_.size());
    if (!neg.empty()) negs_.insert(negs_.end(), neg.begin(), neg.end());
    spend(double(kFolds + 1) * (double(p) * double(width_) * (neg.empty() ? 1.0 : 2.0) + double(p) * double(p) / 2.0));
    return {};
  }

  // predict: the first q columns' fit f, at the rows of `where`, into `out`.
  // Fails only when interrupted.
  [[nodiscard]] Result<void> predict(std::size_t f, std::size_t q, const std::uint64_t* where,
                                     std::vector<double>& out) {
    chol_[f].solve(rhs_[f], q, beta_);
    out.assign(rows_, 0.0);
    for (std::size_t k = 0; k < q; ++k) {
      if ((k & 63) == 0) {
        if (Result<void> r = check_interrupt(); !r) return r;
      }
      const std::uint64_t* c = &cols_[k * width_];
      const std::uint64_t* m = neg_at_[k] == kNone ? nullptr : &negs_[neg_at_[k]];
      for (std::size_t w = 0; w < width_; ++w) {
        for (std::uint64_t bits = c[w] & where[w]; bits != 0; bits &= bits - 1) {
          out[w * 64 + static_cast<std::size_t>(std::countr_zero(bits))] += beta_[k];
        }
        if (m == nullptr) continue;
        for (std::uint64_t bits = m[w] & where[w]; bits != 0; bits &= bits - 1) {
          out[w * 64 + static_cast<std::size_t>(std::countr_zero(bits))] -= beta_[k];
        }
      }
    }
    spend(double(q) * double(q) + double(q) * double(width_) + double(rows_));
    return {};
  }

  // cross_validated: the squared error of each fold's fit on its own rows.
  [[nodiscard]] Result<double> cross_validated() {
    double ss = 0.0;
    for (std::size_t f = 0; f < kFolds; ++f) {
      if (Result<void> r = predict(f, terms(), &held_[f * width_], pred_); !r) return std::unexpected(r.error());
      for (std::size_t r = f; r < rows_; r += kFolds) ss += (y_[r] - pred_[r]) * (y_[r] - pred_[r]);
    }
    return ss;
  }
  // residuals: what the fit on every row leaves, at every row.
  [[nodiscard]] Result<const std::vector<double>*> residuals() {
    if (Result<void> r = predict(kFolds, terms(), all_.data(), pred_); !r) return std::unexpected(r.error());
    for (std::size_t r = 0; r < rows_; ++r) pred_[r] = y_[r] - pred_[r];
    return &pred_;
  }
  // coefficients: the fit on every row of the first q columns; with a
  // total, the columns but the intercept adding up to it.
  std::vector<double> coefficients(std::size_t q, std::optional<double> total) const {
    std::vector<double> beta, w, ones(q, 1.0);
    ones[0] = 0.0;
    chol_[kFolds].solve(rhs_[kFolds], q, beta);
    if (!total) return beta;
    chol_[kFolds].solve(ones, q, w);
    double sum_beta = 0.0, sum_w = 0.0;
    for (std::size_t k = 1; k < q; ++k) {
      sum_beta += beta[k];
      sum_w += w[k];
    }
    const double lambda = (*total - sum_beta) / sum_w;
    for (std::size_t k = 0; k < q; ++k) beta[k] += lambda * w[k];
    return beta;
  }

 private:
  std::size_t rows_, width_;
  std::vector<double> y_;
  static constexpr std::size_t kNone = SIZE_MAX;
  std::vector<std::uint64_t> all_, node_rows_, out_rows_, cols_;
  std::vector<std::uint64_t> negs_;    // the -1 rows of the columns that have them
  std::vector<std::size_t> neg_at_;    // per column, where in negs_, or kNone
  std::vector<std::uint64_t> held_;  // per fold, its own rows
  std::vector<std::vector<std::uint64_t>> train_;  // per fold, then every row
  std::vector<double> fit_rows_;
  std::vector<std::vector<double>> rhs_;
  std::vector<GrowingCholesky> chol_;
  std::vector<double> g_, beta_, pred_;
  double spent_ = 0.0;
};

// Candidates: the products that may be chosen; more are grown from those
// chosen, one node at a time, each node incomparable to every member.
struct Candidates {
  std::vector<Product> products;
  std::vector<bool> taken;
  boost::unordered_flat_set<std::uint64_t> seen, incomparable;
  std::size_t n = 0;
  bool all_apart = false;                // no edges: every pair incomparable

  std::uint64_t key(NodeId a, NodeId b) const { return std::uint64_t{a} * n + b; }
  bool apart(NodeId a, NodeId b) const {
    return all_apart || incomparable.contains(a < b ? key(a, b) : key(b, a));
  }
  // add: `t` unless met before. Products are told apart by a 64-bit mix of
  // their nodes: a collision, about one in 2^64 / candidates, drops one.
  void add(const Product& t) {
    std::uint64_t h = t.size;
    for (std::size_t m = 0; m < t.size; ++m) {
      h = (h ^ (t.nodes[m] + 0x9e3779b97f4a7c15ULL)) * 0xbf58476d1ce4e5b9ULL;
      h ^= h >> 31;
    }
    if (seen.insert(h).second) {
      products.push_back(t);
      taken.push_back(false);
    }
  }
  // grow: `t` with each node incomparable to all its members.
  void grow(const Product& t) {
    for (NodeId c = 0; c < n; ++c) {
      bool fits = true;
      for (std::size_t m = 0; m < t.size && fits; ++m) fits = t.nodes[m] != c && apart(t.nodes[m], c);
      if (!fits) continue;
      Product u{.nodes = {}, .size = t.size + 1};  // c in its place among t's ascending nodes
      std::size_t m = 0, k = 0;
      for (; m < t.size && t.nodes[m] < c; ++m) u.nodes[k++] = t.nodes[m];
      u.nodes[k++] = c;
      for (; m < t.size; ++m) u.nodes[k++] = t.nodes[m];
      add(u);
    }
  }
};

// Column: a product's rows, 1 on `pos` and, odd, -1 on `neg`.
struct Column {
  std::vector<std::uint64_t> pos, neg;

  void of(const Selection& sel, const Product& t, bool odd) {
    const std::size_t width = sel.width();
    pos.assign(sel.all(), sel.all() + width);
    if (odd) {
      neg = pos;
    } else {
      neg.clear();
    }
    for (std::size_t m = 0; m < t.size; ++m) {
      const std::uint64_t* in = sel.node(t.nodes[m]);
      for (std::size_t w = 0; w < width; ++w) pos[w] &= in[w];
      if (!odd) continue;
      const std::uint64_t* out = sel.outside(t.nodes[m]);
      for (std::size_t w = 0; w < width; ++w) neg[w] &= out[w];
    }
  }
  // score: |centred sum of the column times `res`| over its centred norm;
  // -1 when the column is constant on these rows (nothing to tell).
  double score(const Selection& sel, const std::vector<double>& res, double res_sum) const {
    const std::size_t width = sel.width();
    const double rows = double(sel.rows());
    const double in = double(count_and(pos.data(), sel.all(), width));
    const double out = neg.empty() ? 0.0 : double(count_and(neg.data(), sel.all(), width));
    const double sum = in - out, spread = in + out - sum * sum / rows;
    if (spread <= 1e-9 * rows) return -1.0;
    double dot = sum_and(pos.data(), sel.all(), width, res.data());
    if (!neg.empty()) dot -= sum_and(neg.data(), sel.all(), width, res.data());
    return std::abs(dot - sum / rows * res_sum) / std::sqrt(spread);
  }
};

// Higher: candidate indices by descending score, ties to the first.
struct Higher {
  const std::vector<double>& score;
  bool operator()(std::size_t x, std::size_t y) const { return score[x] > score[y] || (score[x] == score[y] && x < y); }
};

// candidate_cost: the work of scoring one candidate on `sel`'s rows (twice
// the rows read for an odd product).
double candidate_cost(const Selection& sel, bool odd) {
  return (odd ? 2.0 : 1.0) * (double(sel.width()) + double(sel.rows()) / 3.0);
}

// top: the indices of the `keep` highest scores, ties to the first; all of
// them when they are fewer.
std::vector<std::size_t> top(const std::vector<double>& score, std::size_t keep) {
  std::vector<std::size_t> order(score.size());
  std::iota(order.begin(), order.end(), 0);
  if (order.size() <= keep) return order;
  std::partial_sort(order.begin(), order.begin() + static_cast<std::ptrdiff_t>(keep), order.end(),
                    Higher{score});
  order.resize(keep);
  return order;
}

// odd_pool: the triples the odd fit chooses from: those of the pairs whose
// joint presence best matches what the additive fit leaves, as many as
// `screened` allows (every triple when it does), then the `keep` of them that
// best match it themselves. Rounds of the selection score each candidate
// again; this screen scores each once.
Result<void> odd_pool(Selection& sel, std::span<const NodePair> pairs, std::size_t screened,
                      std::size_t keep, Candidates& cand) {
  Result<const std::vector<double>*> left = sel.residuals();
  if (!left) return std::unexpected(left.error());
  const std::vector<double>& res = **left;
  const double res_sum = std::accumulate(res.begin(), res.end(), 0.0);
  const std::size_t room = std::max<std::size_t>(1, screened / std::max<std::size_t>(cand.n, 1));
  std::vector<double> score;
  Column col;
  auto score_all = [&](std::size_t count, auto product_of) -> Result<void> {
    score.assign(count, 0.0);
    for (std::size_t k = 0; k < count; ++k) {
      if ((k & 63) == 0) {
        if (Result<void> r = check_interrupt(); !r) return r;
      }
      const Product t = product_of(k);
      col.of(sel, t, t.size > 2);  // pairs as plain products, to rank them
      score[k] = col.score(sel, res, res_sum);
      sel.spend(candidate_cost(sel, t.size > 2));
    }
    return {};
  };
  auto pair = [&](std::size_t k) { return Product{.nodes = {pairs[k].first, pairs[k].second}, .size = 2}; };
  if (pairs.size() > room) {
    if (Result<void> r = score_all(pairs.size(), pair); !r) return r;
    for (std::size_t k : top(score, room)) cand.grow(pair(k));
  } else {
    for (std::size_t k = 0; k < pairs.size(); ++k) cand.grow(pair(k));
  }
  if (cand.products.size() <= keep) return {};
  if (Result<void> r = score_all(cand.products.size(), [&](std::size_t k) { return cand.products[k]; }); !r) return r;
  std::vector<Product> kept;
  for (std::size_t k : top(score, keep)) kept.push_back(cand.products[k]);
  cand.products = std::move(kept);
  cand.taken.assign(cand.products.size(), false);
  return {};
}

}  // namespace

double sparse_fit_work(std::size_t n, std::size_t rows) {
  // The nodes' columns appended to every fit, then one round of predictions.
  const double p = double(n + 1), width = double((rows + 63) / 64);
  return double(kFolds + 1) * (p * p * width / 2.0 + p * p * p / 6.0 + p * p + double(rows));
}

Result<SparseSurrogate> fit_sparse_surrogate(const SparseFitInput& in) {
  const std::size_t n = in.n;
  Selection sel(in);
  const std::size_t width = sel.width(), rows = sel.rows();
  std::vector<std::uint64_t> all(sel.all(), sel.all() + width);
  if (Result<void> r = sel.add(all, {}, 0.0); !r) return std::unexpected(r.error());  // the intercept
  for (NodeId i = 0; i < n; ++i) {
    Result<void> r = sel.add({sel.node(i), width}, {}, in.odd ? kOddFitAdditiveRidge : kSparseFitAdditiveRidge);
    if (!r) return std::unexpected(r.error());
  }
  const double per_candidate = candidate_cost(sel, in.odd);
  Candidates cand;
  cand.n = n;
  cand.all_apart = in.odd;
  if (!in.odd) {
    for (const auto& [a, b] : in.pairs) {
      cand.incomparable.insert(cand.key(a, b));
      cand.products.push_back({.nodes = {a, b}, .size = 2});
      cand.taken.push_back(false);
    }
  } else {
    // A pair's odd part is additive: pairs only seed the triples.
    // The screen may take a quarter of the work; the pool is what twenty
    // rounds can score.
    const auto screened = static_cast<std::size_t>(in.work / 4.0 / per_candidate) + 1;
    const auto keep = static_cast<std::size_t>(in.work / 20.0 / per_candidate) + 1;
    if (Result<void> r = odd_pool(sel, in.pairs, screened, keep, cand); !r) return std::unexpected(r.error());
  }
  std::vector<Product> chosen;
  std::size_t pairs_chosen = 0;
  const std::size_t most = std::min<std::size_t>(
      kMaxSurrogateTerms, static_cast<std::size_t>(kSparseFitTermsPerRow * double(rows)));
  Result<double> cv = sel.cross_validated();
  if (!cv) return std::unexpected(cv.error());
  double best = *cv;
  std::size_t best_terms = sel.terms(), stale = 0;
  std::vector<double> score;
  std::vector<std::size_t> order;
  Column col;
  // Scores as last read (infinite: never read). A round reads the
  // candidates never read and the kSparseFitRescored best of the others, and
  // every kSparseFitFullRound-th round all of them: the best by the last
  // residual are most likely the best by this one.
  const double unread = std::numeric_limits<double>::infinity();
  std::vector<std::size_t> read;
  for (std::size_t round_no = 0; stale < kSparseFitPatience && sel.terms() + kSparseFitBlock <= most; ++round_no) {
    score.resize(cand.products.size(), unread);
    read.clear();
    for (std::size_t k = 0; k < cand.products.size(); ++k) {
      if (!cand.taken[k]) read.push_back(k);
    }
    if (round_no % kSparseFitFullRound != 0) {
      const auto more = std::partition(read.begin(), read.end(), [&](std::size_t k) { return score[k] == unread; });
      const std::size_t stale_count = static_cast<std::size_t>(read.end() - more);
      if (stale_count > kSparseFitRescored) {
        std::nth_element(more, more + kSparseFitRescored, read.end(),
                         Higher{score});
        read.erase(more + kSparseFitRescored, read.end());
      }
    }
    // A round reads its candidates' rows, then appends a block to each fit.
    const double p = double(sel.terms() + kSparseFitBlock);
    const double round = double(read.size()) * per_candidate +
                         double(kFolds + 1) * (double(kSparseFitBlock) * (p * double(width) + p * p / 2.0) +
                                               p * p + double(rows));
    if (sel.spent() + round > in.work) break;
    Result<const std::vector<double>*> left = sel.residuals();
    if (!left) return std::unexpected(left.error());
    const std::vector<double>& res = **left;
    const double res_sum = std::accumulate(res.begin(), res.end(), 0.0);
    order.clear();
    for (std::size_t q = 0; q < read.size(); ++q) {
      if ((q & 63) == 0) {
        if (Result<void> r = check_interrupt(); !r) return std::unexpected(r.error());
      }
      const std::size_t k = read[q];
      col.of(sel, cand.products[k], in.odd);
      score[k] = col.score(sel, res, res_sum);
      if (score[k] >= 0.0) order.push_back(k);
    }
    sel.spend(double(read.size()) * per_candidate);
    if (order.empty()) break;
    const std::size_t take = std::min(kSparseFitBlock, order.size());
    std::partial_sort(order.begin(), order.begin() + static_cast<std::ptrdiff_t>(take), order.end(),
                      Higher{score});
    for (std::size_t q = 0; q < take; ++q) {
      const std::size_t k = order[q];
      cand.taken[k] = true;
      const Product t = cand.products[k];
      col.of(sel, t, in.odd);
      if (Result<void> r = sel.add(col.pos, col.neg, in.odd ? kOddFitProductRidge : kSparseFitProductRidge); !r) {
        return std::unexpected(r.error());
      }
      chosen.push_back(t);
      if (in.odd ? t.size < kOddFitMaxOrder : t.size == 2 && pairs_chosen++ < kSparseFitTripleSeeds) {
        cand.grow(t);
      }
    }
    cv = sel.cross_validated();
    if (!cv) return std::unexpected(cv.error());
    if (*cv < best) {
      best = *cv;
      best_terms = sel.terms();
      stale = 0;
    } else {
      ++stale;
    }
  }
  const std::vector<double> beta =
      sel.coefficients(best_terms, in.odd ? std::nullopt : std::optional<double>(in.total));
  SparseSurrogate out;
  out.intercept = beta[0];
  out.additive.assign(beta.begin() + 1, beta.begin() + 1 + static_cast<std::ptrdiff_t>(n));
  out.products.assign(chosen.begin(), chosen.begin() + static_cast<std::ptrdiff_t>(best_terms - 1 - n));
  out.coef.assign(beta.begin() + 1 + static_cast<std::ptrdiff_t>(n), beta.end());
  return out;
}

}  // namespace morvend

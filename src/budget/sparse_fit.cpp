#include "budget/sparse_fit.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <numeric>

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
// on every row.
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
  }

  std::size_t rows() const { return rows_; }
  std::size_t width() const { return width_; }
  std::size_t terms() const { return chol_[0].size(); }
  const std::uint64_t* node(NodeId i) const { return node_rows_.data() + i * width_; }
  const std::uint64_t* all() const { return all_.data(); }
  double spent() const { return spent_; }
  void spend(double ops) { spent_ += ops; }

  // add: a column with indicator `col` (rows), its ridge per row fitted on.
  void add(std::span<const std::uint64_t> col, double ridge) {
    const std::size_t p = terms();
    g_.resize(p);
    for (std::size_t f = 0; f <= kFolds; ++f) {
      const std::uint64_t* t = train_[f].data();
      for (std::size_t k = 0; k < p; ++k) g_[k] = double(count_and(&cols_[k * width_], col.data(), t, width_));
      const double diag = double(count_and(col.data(), t, width_)) + ridge * fit_rows_[f];
      chol_[f].append(g_, diag);
      rhs_[f].push_back(sum_and(col.data(), t, width_, y_.data()));
    }
    cols_.insert(cols_.end(), col.begin(), col.end());
    spend(double(kFolds + 1) * (double(p) * double(width_) + double(p) * double(p) / 2.0));
  }

  // predict: the first q columns' fit f, at the rows of `where`, into `out`.
  void predict(std::size_t f, std::size_t q, const std::uint64_t* where, std::vector<double>& out) {
    chol_[f].solve(rhs_[f], q, beta_);
    out.assign(rows_, 0.0);
    for (std::size_t k = 0; k < q; ++k) {
      const std::uint64_t* c = &cols_[k * width_];
      for (std::size_t w = 0; w < width_; ++w) {
        for (std::uint64_t bits = c[w] & where[w]; bits != 0; bits &= bits - 1) {
          out[w * 64 + static_cast<std::size_t>(std::countr_zero(bits))] += beta_[k];
        }
      }
    }
    spend(double(q) * double(q) + double(q) * double(width_) + double(rows_));
  }

  // cross_validated: the squared error of each fold's fit on its own rows.
  double cross_validated() {
    double ss = 0.0;
    for (std::size_t f = 0; f < kFolds; ++f) {
      predict(f, terms(), &held_[f * width_], pred_);
      for (std::size_t r = f; r < rows_; r += kFolds) ss += (y_[r] - pred_[r]) * (y_[r] - pred_[r]);
    }
    return ss;
  }
  // residuals: what the fit on every row leaves, at every row.
  const std::vector<double>& residuals() {
    predict(kFolds, terms(), all_.data(), pred_);
    for (std::size_t r = 0; r < rows_; ++r) pred_[r] = y_[r] - pred_[r];
    return pred_;
  }
  // coefficients: the fit on every row of the first q columns, with the
  // columns but the intercept adding up to `total`.
  std::vector<double> coefficients(std::size_t q, double total) const {
    std::vector<double> beta, w, ones(q, 1.0);
    ones[0] = 0.0;
    chol_[kFolds].solve(rhs_[kFolds], q, beta);
    chol_[kFolds].solve(ones, q, w);
    double sum_beta = 0.0, sum_w = 0.0;
    for (std::size_t k = 1; k < q; ++k) {
      sum_beta += beta[k];
      sum_w += w[k];
    }
    const double lambda = (total - sum_beta) / sum_w;
    for (std::size_t k = 0; k < q; ++k) beta[k] += lambda * w[k];
    return beta;
  }

 private:
  std::size_t rows_, width_;
  std::vector<double> y_;
  std::vector<std::uint64_t> all_, node_rows_, cols_, held_;  // held_: per fold, its own rows
  std::vector<std::vector<std::uint64_t>> train_;  // per fold, then every row
  std::vector<double> fit_rows_;
  std::vector<std::vector<double>> rhs_;
  std::vector<GrowingCholesky> chol_;
  std::vector<double> g_, beta_, pred_;
  double spent_ = 0.0;
};

// Candidates: the products that may be chosen, with their rows; triples are
// grown from chosen pairs.
struct Candidates {
  std::vector<Product> products;
  std::vector<bool> taken;
  boost::unordered_flat_set<std::uint64_t> triples, incomparable;
  std::size_t n = 0;

  std::uint64_t key(NodeId a, NodeId b) const { return std::uint64_t{a} * n + b; }
  bool apart(NodeId a, NodeId b) const {
    return incomparable.contains(a < b ? key(a, b) : key(b, a));
  }
  // grow: every triple of the pair `p` and a node incomparable to both.
  void grow(const Product& p) {
    const NodeId a = p.nodes[0], b = p.nodes[1];
    for (NodeId c = 0; c < n; ++c) {
      if (c == a || c == b || !apart(a, c) || !apart(b, c)) continue;
      std::array<NodeId, 3> t{a, b, c};
      std::ranges::sort(t);
      if (triples.insert((std::uint64_t{t[0]} * n + t[1]) * n + t[2]).second) {
        products.push_back({.nodes = t, .size = 3});
        taken.push_back(false);
      }
    }
  }
};

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
  std::vector<std::uint64_t> col(sel.all(), sel.all() + width);
  sel.add(col, 0.0);  // the intercept
  for (NodeId i = 0; i < n; ++i) {
    if (Result<void> r = check_interrupt(); !r) return std::unexpected(r.error());
    col.assign(sel.node(i), sel.node(i) + width);
    sel.add(col, kSparseFitAdditiveRidge);
  }
  Candidates cand;
  cand.n = n;
  for (const auto& [a, b] : in.pairs) {
    cand.products.push_back({.nodes = {a, b, 0}, .size = 2});
    cand.taken.push_back(false);
    cand.incomparable.insert(cand.key(a, b));
  }
  std::vector<Product> chosen;
  std::size_t pairs_chosen = 0;
  const std::size_t most = std::min<std::size_t>(
      kMaxSurrogateTerms, static_cast<std::size_t>(kSparseFitTermsPerRow * double(rows)));
  double best = sel.cross_validated();
  std::size_t best_terms = sel.terms(), stale = 0;
  std::vector<double> score;
  std::vector<std::size_t> order;
  std::vector<std::uint64_t> both(width);
  while (stale < kSparseFitPatience && sel.terms() + kSparseFitBlock <= most) {
    // A round reads every candidate's rows, then appends a block to each fit.
    const double p = double(sel.terms() + kSparseFitBlock);
    const double round = double(cand.products.size()) * (double(width) + double(rows) / 3.0) +
                         double(kFolds + 1) * (double(kSparseFitBlock) * (p * double(width) + p * p / 2.0) +
                                               p * p + double(rows));
    if (sel.spent() + round > in.work) break;
    const std::vector<double>& res = sel.residuals();
    const double res_sum = std::accumulate(res.begin(), res.end(), 0.0);
    score.assign(cand.products.size(), 0.0);
    order.clear();
    for (std::size_t k = 0; k < cand.products.size(); ++k) {
      if ((k & 1023) == 0) {
        if (Result<void> r = check_interrupt(); !r) return std::unexpected(r.error());
      }
      if (cand.taken[k]) continue;
      const Product& t = cand.products[k];
      const std::uint64_t* a = sel.node(t.nodes[0]);
      const std::uint64_t* b = sel.node(t.nodes[1]);
      const std::uint64_t* c = t.size == 3 ? sel.node(t.nodes[2]) : sel.all();
      for (std::size_t w = 0; w < width; ++w) both[w] = a[w] & b[w];
      const double count = double(count_and(both.data(), c, width));
      const double spread = count - count * count / double(rows);
      if (spread <= 0.0) continue;  // constant on these rows: nothing to tell
      const double centred = sum_and(both.data(), c, width, res.data()) - count / double(rows) * res_sum;
      score[k] = std::abs(centred) / std::sqrt(spread);
      order.push_back(k);
    }
    sel.spend(double(cand.products.size()) * (double(width) + double(rows) / 3.0));
    if (order.empty()) break;
    const std::size_t take = std::min(kSparseFitBlock, order.size());
    std::partial_sort(order.begin(), order.begin() + static_cast<std::ptrdiff_t>(take), order.end(),
                      [&](std::size_t x, std::size_t y) { return score[x] > score[y] || (score[x] == score[y] && x < y); });
    for (std::size_t q = 0; q < take; ++q) {
      const std::size_t k = order[q];
      cand.taken[k] = true;
      const Product t = cand.products[k];
      const std::uint64_t* c = t.size == 3 ? sel.node(t.nodes[2]) : sel.all();
      for (std::size_t w = 0; w < width; ++w) col[w] = sel.node(t.nodes[0])[w] & sel.node(t.nodes[1])[w] & c[w];
      sel.add(col, kSparseFitProductRidge);
      chosen.push_back(t);
      if (t.size == 2 && pairs_chosen++ < kSparseFitTripleSeeds) cand.grow(t);
    }
    const double cv = sel.cross_validated();
    if (cv < best) {
      best = cv;
      best_terms = sel.terms();
      stale = 0;
    } else {
      ++stale;
    }
  }
  const std::vector<double> beta = sel.coefficients(best_terms, in.total);
  SparseSurrogate out;
  out.additive.assign(beta.begin() + 1, beta.begin() + 1 + static_cast<std::ptrdiff_t>(n));
  out.products.assign(chosen.begin(), chosen.begin() + static_cast<std::ptrdiff_t>(best_terms - 1 - n));
  out.coef.assign(beta.begin() + 1 + static_cast<std::ptrdiff_t>(n), beta.end());
  return out;
}

}  // namespace morvend

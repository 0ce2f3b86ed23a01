// The uniform estimators: exactly uniform linear extensions, weight 1.
#include <algorithm>
#include <functional>
#include <string>

#include "approx/approx.hpp"
#include "approx/mask_walkers.hpp"
#include "graph/limits.hpp"

namespace morvend {
namespace {

// UniformDraw: uniform orders of one graph, sharing one completion-count memo.
//
// The first draw counts the orders of every non-empty up-set, so the memo
// then holds one entry per order ideal but the full set; the budget is
// checked after each draw. The memo is also capped while it fills, one entry
// past the budget: a DAG with too many ideals could otherwise exhaust memory
// before the check. In practice the cap is not reached first: a DAG with that
// many ideals has more than 2^64 orders, and the counting meets that
// overflow after a much smaller memo.
class UniformDraw {
 public:
  using OverBudget = std::function<AsvError(std::uint64_t entries)>;

  UniformDraw(std::size_t n, std::span<const std::uint64_t> parent_masks, std::uint64_t memo_budget,
              OverBudget over_budget)
      : n_(n),
        parent_masks_(parent_masks),
        max_entries_(memo_budget / kBytesPerIdealEntry),
        over_budget_(std::move(over_budget)) {
    order_.reserve(n_);
  }

  // draw: the next order, left in order().
  Result<void> draw(SampleRng& rng) {
    Result<bool> drawn =
        sample_uniform_order(n_, parent_masks_, memo_, rng, order_, max_entries_ + 1);
    if (!drawn) return std::unexpected(std::move(drawn.error()));
    if (!*drawn || memo_.size() > max_entries_) return std::unexpected(over_budget_(memo_.size()));
    return {};
  }
  std::span<const NodeId> order() const { return order_; }
  Result<void> operator()(SampleRng& rng, OrderBatch& batch) {
    if (Result<void> r = draw(rng); !r) return r;
    batch.add(order_, 0.0);
    return {};
  }

 private:
  std::size_t n_;
  std::span<const std::uint64_t> parent_masks_;
  std::uint64_t max_entries_;
  OverBudget over_budget_;
  CompletionMemo memo_;
  std::vector<NodeId> order_;
};

std::string megabytes(std::uint64_t budget) { return std::to_string(budget >> 20) + "MB"; }

AsvError too_many_nodes(const char* estimator, std::size_t n) {
  return AsvError::invalid_configuration(std::string(estimator) + " requires n \xe2\x89\xa4 " +
                                         std::to_string(kMaxSparseNodes) + ", got " +
                                         std::to_string(n));
}

template <class Walker>
[[nodiscard]] Result<AsvResult> uniform_adaptive(const ExplainerState& state, Walker& walker,
                                                 const AdaptiveOptions& options,
                                                 std::span<const std::uint64_t> parent_masks,
                                                 std::uint64_t memo_budget,
                                                 std::string over_budget_text) {
  if (Result<void> r = detail::check_adaptive(options); !r) return std::unexpected(r.error());
  UniformDraw draw(state.n_nodes(), parent_masks, memo_budget, [&](std::uint64_t) {
    return AsvError::extension_count_overflow(over_budget_text);
  });
  return detail::run_adaptive<false>(state.n_nodes(), options, draw, walker);
}

}  // namespace

Result<void> check_uniform_sparse(std::size_t n, const SamplingOptions& options) {
  if (n > kMaxSparseNodes) {
    return std::unexpected(AsvError::invalid_configuration(
        "approximate_uniform_sparse requires n \xe2\x89\xa4 " + std::to_string(kMaxSparseNodes) +
        " (u64 bitmask), got " + std::to_string(n) + "; use approximate() for larger DAGs"));
  }
  return detail::check_sampling(options);
}

Result<AsvResult> approximate_uniform_sparse(const ExplainerState& state, ValueOracle& oracle,
                                             const SamplingOptions& options,
                                             std::span<const std::uint64_t> parent_masks,
                                             std::uint64_t memo_budget) {
  const std::size_t n = state.n_nodes();
  if (Result<void> r = check_uniform_sparse(n, options); !r) return std::unexpected(r.error());
  UniformDraw draw(state.n_nodes(), parent_masks, memo_budget, [&](std::uint64_t entries) {
    return AsvError::extension_count_overflow(
        "approximate_uniform_sparse: dp_ind cache exceeded " + megabytes(memo_budget) + " at " +
        std::to_string(entries) + " entries; use approximate() for this DAG");
  });
  SampleRng rng = detail::run_rng(options.seed);
  detail::SerialMaskWalker walker(oracle);
  detail::ImportanceSums<detail::KahanSum> sums(n);  // every weight is 1
  for (std::uint64_t k = 0; k < options.n_samples; ++k) {
    if (Result<void> r = check_interrupt(); !r) return std::unexpected(std::move(r.error()));
    if (Result<void> r = draw.draw(rng); !r) return std::unexpected(std::move(r.error()));
    Result<void> walked =
        walker.walk(draw.order(), [&](NodeId i, double delta) { sums.add(i, delta); });
    if (!walked) return std::unexpected(std::move(walked.error()));
  }
  const double total = static_cast<double>(options.n_samples);
  return detail::estimate(sums.ratio(total), options.n_samples, options.seed, total);
}

Result<void> check_uniform_sparse_adaptive(std::size_t n) {
  if (n > kMaxSparseNodes) {
    return std::unexpected(too_many_nodes("approximate_uniform_sparse_adaptive", n));
  }
  return {};
}

Result<AsvResult> approximate_uniform_sparse_adaptive(const ExplainerState& state,
                                                      ValueOracle& oracle,
                                                      const AdaptiveOptions& options,
                                                      std::span<const std::uint64_t> parent_masks,
                                                      std::uint64_t memo_budget) {
  if (Result<void> r = check_uniform_sparse_adaptive(state.n_nodes()); !r) {
    return std::unexpected(r.error());
  }
  detail::SerialMaskWalker walker(oracle);
  return uniform_adaptive(state, walker, options, parent_masks, memo_budget,
                          "approximate_uniform_sparse_adaptive: dp_ind cache exceeded " +
                              megabytes(memo_budget) + "; use approximate_adaptive() for this DAG");
}

Result<AsvResult> approximate_uniform_sparse_adaptive_batched(
    const ExplainerState& state, BatchValueOracle& oracle, const AdaptiveOptions& options,
    std::span<const std::uint64_t> parent_masks, std::uint64_t memo_budget) {
  if (state.n_nodes() > kMaxSparseNodes) {
    return std::unexpected(
        too_many_nodes("approximate_uniform_sparse_adaptive_batched", state.n_nodes()));
  }
  detail::MaskBatchWalker walker(oracle);
  return uniform_adaptive(state, walker, options, parent_masks, memo_budget,
                          "uniform_sparse_adaptive_batch: dp_ind cache exceeded " +
                              megabytes(memo_budget) +
                              "; use approximate_adaptive_batched() for this DAG");
}

}  // namespace morvend

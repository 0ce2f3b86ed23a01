// Coalitions: the distinct coalitions an estimate needs, back to back as
// words (bit x of word x / 64 is node x), evaluated in the order they were
// planned: one call each, or batches of batch_size. Both forms give the same
// values, so seeded estimates do not depend on the form.
//
//   Coalitions c{.words = 1};
//   c.add(set);
//   Result<std::vector<double>> v = evaluate(c.sets, c.words, oracle, batch_size, progress);
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "asv/value_oracle.hpp"
#include "budget/estimate_within.hpp"

namespace morvend {

struct Coalitions {
  std::size_t words = 1;
  std::vector<std::uint64_t> sets;  // coalition k at [k * words, (k + 1) * words)

  std::size_t size() const { return sets.size() / words; }
  std::span<const std::uint64_t> operator[](std::size_t k) const {
    return std::span<const std::uint64_t>(sets).subspan(k * words, words);
  }
  void add(std::span<const std::uint64_t> set) { sets.insert(sets.end(), set.begin(), set.end()); }
};

// evaluate: the values of the coalitions of `words` words each, back to back
// in `sets`, in order; the batch form at most batch_size (0 counts as 1) per
// call, and a result of the wrong length fails with the batch-length error.
// WordsHash: a hash of a coalition's words, for sets of coalitions.
struct WordsHash {
  std::size_t operator()(const std::vector<std::uint64_t>& set) const noexcept {
    std::uint64_t h = 0x9e3779b97f4a7c15ull;
    for (std::uint64_t w : set) h = (h ^ w) * 0xff51afd7ed558ccdull, h ^= h >> 32;
    return h;
  }
};

[[nodiscard]] Result<std::vector<double>> evaluate(std::span<const std::uint64_t> sets,
                                                   std::size_t words, ValueOracle& oracle,
                                                   std::size_t batch_size, CallProgress* progress);
[[nodiscard]] Result<std::vector<double>> evaluate(std::span<const std::uint64_t> sets,
                                                   std::size_t words, BatchValueOracle& oracle,
                                                   std::size_t batch_size, CallProgress* progress);

}  // namespace morvend

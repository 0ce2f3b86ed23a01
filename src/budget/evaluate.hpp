// evaluate: the values of coalitions in the order they were planned: one call
// each, or batches of batch_size. Both forms give the same values, so seeded
// estimates do not depend on the form.
//
//   Result<std::vector<double>> v = evaluate(list.all(), list.width(), oracle, batch_size, progress);
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "asv/value_oracle.hpp"
#include "budget/estimate_within.hpp"

namespace morvend {

// evaluate: the values of the coalitions of `words` words each, back to back
// in `sets`, in order; the batch form at most batch_size (0 counts as 1) per
// call, and a result of the wrong length fails with the batch-length error.
[[nodiscard]] Result<std::vector<double>> evaluate(std::span<const std::uint64_t> sets,
                                                   std::size_t words, ValueOracle& oracle,
                                                   std::size_t batch_size, CallProgress* progress);
[[nodiscard]] Result<std::vector<double>> evaluate(std::span<const std::uint64_t> sets,
                                                   std::size_t words, BatchValueOracle& oracle,
                                                   std::size_t batch_size, CallProgress* progress);

}  // namespace morvend

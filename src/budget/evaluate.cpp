#include "budget/evaluate.hpp"

#include <algorithm>

#include "graph/interrupt.hpp"
#include "sampler/sampler.hpp"

namespace morvend {

Result<std::vector<double>> evaluate(std::span<const std::uint64_t> sets, std::size_t words,
                                     ValueOracle& oracle, std::size_t, CallProgress* progress) {
  std::vector<double> values(sets.size() / words);
  for (std::size_t k = 0; k < values.size(); ++k) {
    if (Result<void> r = check_interrupt(); !r) return std::unexpected(std::move(r.error()));
    Result<double> v = oracle.value(sets.subspan(k * words, words));
    if (!v) return std::unexpected(std::move(v.error()));
    values[k] = *v;
    if (progress != nullptr) progress->calls_done(k + 1);
  }
  return values;
}

Result<std::vector<double>> evaluate(std::span<const std::uint64_t> sets, std::size_t words,
                                     BatchValueOracle& oracle, std::size_t batch_size,
                                     CallProgress* progress) {
  const std::size_t chunk = std::max<std::size_t>(batch_size, 1), size = sets.size() / words;
  std::vector<double> values;
  values.reserve(size);
  for (std::size_t first = 0; first < size; first += chunk) {
    if (Result<void> r = check_interrupt(); !r) return std::unexpected(std::move(r.error()));
    const std::size_t count = std::min(chunk, size - first);
    Result<std::vector<double>> got =
        oracle.values(sets.subspan(first * words, count * words), count);
    if (!got) return std::unexpected(std::move(got.error()));
    if (got->size() != count) return std::unexpected(batch_length_error(got->size(), count));
    values.insert(values.end(), got->begin(), got->end());
    if (progress != nullptr) progress->calls_done(values.size());
  }
  return values;
}

}  // namespace morvend

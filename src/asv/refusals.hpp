// Refusals that several engines or methods share, each written once. The
// option checks are invalid configurations whose detail is the text users see.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "graph/asv_error.hpp"

namespace morvend {

// bitmask_limit: n is over kMaxBitmaskNodes, the most a one-word coalition holds.
AsvError bitmask_limit(std::size_t n);

// check_positive: "<name> must be > 0" when value is 0.
[[nodiscard]] Result<void> check_positive(std::uint64_t value, const char* name);
// check_ci_level: a given interval level must lie in (0, 1); NaN fails too.
[[nodiscard]] Result<void> check_ci_level(const std::optional<double>& ci);

}  // namespace morvend

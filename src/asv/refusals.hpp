// Refusals that several engines share, each written once.
#pragma once

#include <cstddef>

#include "graph/asv_error.hpp"

namespace morvend {

// bitmask_limit: n is over kMaxBitmaskNodes, the most a one-word coalition holds.
AsvError bitmask_limit(std::size_t n);

}  // namespace morvend

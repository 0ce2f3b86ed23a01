#include "asv/refusals.hpp"

#include <string>

#include "graph/limits.hpp"

namespace morvend {

AsvError bitmask_limit(std::size_t n) {
  return AsvError::invalid_configuration("bitmask coalitions require n \xe2\x89\xa4 " +
                                         std::to_string(kMaxBitmaskNodes) + ", got " +
                                         std::to_string(n));
}

}  // namespace morvend

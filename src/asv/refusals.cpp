#include "asv/refusals.hpp"

#include <string>

#include "graph/limits.hpp"

namespace morvend {

AsvError bitmask_limit(std::size_t n) {
  return AsvError::invalid_configuration("bitmask coalitions require n \xe2\x89\xa4 " +
                                         std::to_string(kMaxBitmaskNodes) + ", got " +
                                         std::to_string(n));
}

Result<void> check_positive(std::uint64_t value, const char* name) {
  if (value == 0) {
    return std::unexpected(AsvError::invalid_configuration(std::string(name) + " must be > 0"));
  }
  return {};
}

Result<void> check_ci_level(const std::optional<double>& ci) {
  if (ci && !(*ci > 0.0 && *ci < 1.0)) {  // NaN fails too
    return std::unexpected(AsvError::invalid_configuration(
        "ci must be in (0, 1), e.g. ci=0.95 for a 95% interval"));
  }
  return {};
}

}  // namespace morvend

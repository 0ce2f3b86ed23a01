// Must not compile: every statement below drops a Result unchecked (see the
// test discarded_result_does_not_compile in tests/cpp/CMakeLists.txt).
#include "asv/value_oracle.hpp"
#include "graph/dag.hpp"

namespace morvend {

void drops_errors(Dag& g, ValueOracle& oracle) {
  g.validate();
  oracle.value(Coalition());
}

}  // namespace morvend

#include "common/engines.hpp"

#include <stdexcept>

#include "dag_dp/dag_dp.hpp"
#include "dag_dp_sparse/dag_dp_sparse.hpp"
#include "enumeration/enumeration.hpp"
#include "tree/tree.hpp"

namespace morvend::testing {

std::vector<ExactEngine> exact_engines() {
  return {
      {"exact", exact_enumeration, false},
      {"exact_dag", exact_dag, false},
      {"exact_dag_sparse",
       [](const ExplainerState& s, ValueOracle& o) {
         return exact_dag_sparse(s, o, SparseOptions{.max_nodes = 63});
       },
       false},
      {"exact_tree", exact_tree, true},
  };
}

ExplainerState state_of(const Dag& g) {
  Result<ExplainerState> s = ExplainerState::build(g);
  if (!s) throw std::logic_error(s.error().message());
  return std::move(*s);
}

}  // namespace morvend::testing

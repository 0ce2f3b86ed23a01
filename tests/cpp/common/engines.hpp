// Test-only: every exact engine behind one signature, so one check covers all.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "asv/explainer_state.hpp"
#include "asv/records.hpp"
#include "asv/value_oracle.hpp"

namespace morvend::testing {

struct ExactEngine {
  std::string name;
  std::function<Result<AsvResult>(const ExplainerState&, ValueOracle&)> run;
  bool trees_only;
};

std::vector<ExactEngine> exact_engines();

// state_of: the explainer state of a valid graph.
ExplainerState state_of(const Dag& g);

}  // namespace morvend::testing

// Exact ASV over the order ideals of a DAG of any size, each ideal's
// coalition evaluated once: the path of explain_within when the ideals fit
// the call budget.
//
//   Result<std::optional<IdealLattice>> l = build_lattice(g, max_calls, kIdealMemoryBudget);
//   Result<std::vector<double>> values = exact_over_ideals(*l.value(), oracle);
#pragma once

#include <cstddef>
#include <vector>

#include "asv/value_oracle.hpp"
#include "budget/estimate_within.hpp"
#include "asv/ideal_lattice.hpp"

namespace morvend {

// exact_over_ideals: one value per node, by NodeId: the sum over transitions
// S -> S + x of (v(S + x) - v(S)) times their weight. The single form asks
// for the ideals one at a time, in lattice order.
[[nodiscard]] Result<std::vector<double>> exact_over_ideals(const IdealLattice& lattice,
                                                            ValueOracle& oracle,
                                                            CallProgress* progress = nullptr);
// The batch form: the ideals in lattice order, at most `batch_size` per call
// (0 counts as 1); a result of the wrong length fails with the batch-length
// error.
[[nodiscard]] Result<std::vector<double>> exact_over_ideals(const IdealLattice& lattice,
                                                            BatchValueOracle& oracle,
                                                            std::size_t batch_size,
                                                            CallProgress* progress = nullptr);

}  // namespace morvend

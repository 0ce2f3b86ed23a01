// Test-only value oracles and the brute-force ASV they are checked against.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "asv/value_oracle.hpp"
#include "graph/dag.hpp"

namespace morvend::testing {

using Game = std::function<double(std::uint64_t)>;

// random_game: a fixed pseudo-random value in [-1, 1) per coalition; no
// structure an engine could get right by accident.
Game random_game(std::uint64_t seed);

// additive_game: v(S) = sum of weight[i] over i in S.
Game additive_game(std::vector<double> weights);

// RecordingOracle: answers from a game, records every call in order, and can
// fail at a given call.
class RecordingOracle : public ValueOracle {
 public:
  explicit RecordingOracle(Game game, std::optional<std::size_t> fail_at = std::nullopt)
      : game_(std::move(game)), fail_at_(fail_at) {}

  Result<double> value(Coalition coalition) override;

  const std::vector<std::uint64_t>& calls() const { return calls_; }

 private:
  Game game_;
  std::optional<std::size_t> fail_at_;
  std::vector<std::uint64_t> calls_;
};

// brute_force_asv: the definition itself, over every permutation of the
// nodes that respects the edges (n <= 9).
std::vector<double> brute_force_asv(const Dag& g, const Game& game);

// order_ideals: every order ideal, by brute force over all masks (n <= 20).
std::vector<std::uint64_t> order_ideals(const Dag& g);

// max_relative_error: the largest |a - b| / max(1, |b|) over the entries.
double max_relative_error(const std::vector<double>& a, const std::vector<double>& b);

}  // namespace morvend::testing

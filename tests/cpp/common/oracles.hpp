// Test-only value oracles and the brute-force ASV they are checked against.
#pragma once

#include <atomic>
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

// WordGame: a value function of coalitions of any width.
using WordGame = std::function<double(Coalition)>;

// on_words: a one-word game lifted to coalitions of one word.
WordGame on_words(Game game);

// random_word_game: random_game over every word of the coalition.
WordGame random_word_game(std::uint64_t seed);

// additive_word_game: v(S) = sum of weight[i] over i in S, any width.
WordGame additive_word_game(std::vector<double> weights);

// SharedOracle: answers from a game, safe to call from several threads at
// once; counts calls, notes pause(), and fails on the coalitions `fails`
// picks.
class SharedOracle : public ValueOracle {
 public:
  explicit SharedOracle(WordGame game, std::function<bool(Coalition)> fails = {})
      : game_(std::move(game)), fails_(std::move(fails)) {}

  Result<double> value(Coalition coalition) override;
  void pause() override { paused_ = true; }

  std::uint64_t calls() const { return calls_; }
  bool paused() const { return paused_; }

 private:
  WordGame game_;
  std::function<bool(Coalition)> fails_;
  std::atomic<std::uint64_t> calls_{0};
  std::atomic<bool> paused_{false};
};

// WordsOracle: answers from a game and records every coalition asked, in
// order (one thread only).
class WordsOracle : public ValueOracle {
 public:
  explicit WordsOracle(WordGame game) : game_(std::move(game)) {}
  Result<double> value(Coalition coalition) override;
  const std::vector<std::vector<std::uint64_t>>& calls() const { return calls_; }

 private:
  WordGame game_;
  std::vector<std::vector<std::uint64_t>> calls_;
};

// RecordingBatchOracle: answers batches from a game and records each call's
// coalitions; returns `extra` values more (or fewer, when negative) than asked.
class RecordingBatchOracle : public BatchValueOracle {
 public:
  explicit RecordingBatchOracle(WordGame game, int extra = 0)
      : game_(std::move(game)), extra_(extra) {}

  Result<std::vector<double>> values(std::span<const std::uint64_t> words,
                                     std::size_t count) override;

  // calls()[c][k]: the words of coalition k of call c.
  const std::vector<std::vector<std::vector<std::uint64_t>>>& calls() const { return calls_; }

 private:
  WordGame game_;
  int extra_;
  std::vector<std::vector<std::vector<std::uint64_t>>> calls_;
};

// brute_force_asv: the definition itself, over every permutation of the
// nodes that respects the edges (n <= 9).
std::vector<double> brute_force_asv(const Dag& g, const Game& game);

// order_ideals: every order ideal, by brute force over all masks (n <= 20).
std::vector<std::uint64_t> order_ideals(const Dag& g);

// max_relative_error: the largest |a - b| / max(1, |b|) over the entries.
double max_relative_error(const std::vector<double>& a, const std::vector<double>& b);

}  // namespace morvend::testing

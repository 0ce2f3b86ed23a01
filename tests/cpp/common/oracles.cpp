#include "common/oracles.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <stdexcept>

namespace morvend::testing {

Game random_game(std::uint64_t seed) {
  return [seed](std::uint64_t mask) {
    std::uint64_t z = mask * 0x9E3779B97F4A7C15ULL + seed;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    z ^= z >> 31;
    return static_cast<double>(z >> 11) * 0x1.0p-52 - 1.0;
  };
}

Game additive_game(std::vector<double> weights) {
  return [w = std::move(weights)](std::uint64_t mask) {
    double v = 0.0;
    for (std::size_t i = 0; i < w.size(); ++i) {
      if ((mask >> i) & 1) v += w[i];
    }
    return v;
  };
}

Result<double> RecordingOracle::value(Coalition coalition) {
  if (coalition.size() != 1) throw std::logic_error("one-word coalitions only");
  calls_.push_back(coalition[0]);
  if (fail_at_ && calls_.size() == *fail_at_ + 1) {
    return std::unexpected(AsvError::value_function("RuntimeError: boom"));
  }
  return game_(coalition[0]);
}

WordGame on_words(Game game) {
  return [game = std::move(game)](Coalition c) {
    if (c.size() != 1) throw std::logic_error("one-word game");
    return game(c[0]);
  };
}

WordGame random_word_game(std::uint64_t seed) {
  return [game = random_game(seed)](Coalition c) {
    std::uint64_t h = 0;  // an odd factor: on one word, a bijection
    for (std::uint64_t w : c) h = (h ^ w) * 0x100000001B3ULL;
    return game(h);
  };
}

WordGame additive_word_game(std::vector<double> weights) {
  return [w = std::move(weights)](Coalition c) {
    double v = 0.0;
    for (std::size_t i = 0; i < w.size(); ++i) {
      if ((c[i / 64] >> (i % 64)) & 1) v += w[i];
    }
    return v;
  };
}

Result<double> SharedOracle::value(Coalition coalition) {
  ++calls_;
  if (fails_ && fails_(coalition)) {
    return std::unexpected(AsvError::value_function("RuntimeError: boom"));
  }
  return game_(coalition);
}

Result<double> WordsOracle::value(Coalition coalition) {
  calls_.emplace_back(coalition.begin(), coalition.end());
  return game_(coalition);
}

Result<std::vector<double>> RecordingBatchOracle::values(std::span<const std::uint64_t> words,
                                                         std::size_t count) {
  const std::size_t width = count == 0 ? 0 : words.size() / count;
  auto& call = calls_.emplace_back();
  std::vector<double> out;
  for (std::size_t k = 0; k < count; ++k) {
    const auto set = words.subspan(k * width, width);
    call.emplace_back(set.begin(), set.end());
    out.push_back(game_(set));
  }
  if (extra_ > 0) out.insert(out.end(), static_cast<std::size_t>(extra_), 0.0);
  if (extra_ < 0) out.resize(out.size() - std::min(out.size(), static_cast<std::size_t>(-extra_)));
  return out;
}

std::vector<double> brute_force_asv(const Dag& g, const Game& game) {
  const std::size_t n = g.n_nodes();
  if (n > 9) throw std::logic_error("brute force needs n <= 9");
  std::vector<NodeId> perm(n);
  std::iota(perm.begin(), perm.end(), 0);
  std::vector<double> sum(n, 0.0);
  std::size_t count = 0;
  do {
    std::vector<std::size_t> pos(n);
    for (std::size_t i = 0; i < n; ++i) pos[perm[i]] = i;
    bool valid = true;
    for (NodeId u = 0; u < n && valid; ++u) {
      for (NodeId v : g.children(u)) valid = valid && pos[u] < pos[v];
    }
    if (!valid) continue;
    ++count;
    std::uint64_t prefix = 0;
    for (NodeId x : perm) {
      sum[x] += game(prefix | (std::uint64_t{1} << x)) - game(prefix);
      prefix |= std::uint64_t{1} << x;
    }
  } while (std::next_permutation(perm.begin(), perm.end()));
  for (double& s : sum) s /= static_cast<double>(count);
  return sum;
}

std::vector<std::uint64_t> order_ideals(const Dag& g) {
  const std::size_t n = g.n_nodes();
  std::vector<std::uint64_t> out;
  for (std::uint64_t s = 0; s < (std::uint64_t{1} << n); ++s) {
    bool ideal = true;
    for (NodeId v = 0; v < n && ideal; ++v) {
      if (!((s >> v) & 1)) continue;
      for (NodeId p : g.parents(v)) ideal = ideal && ((s >> p) & 1);
    }
    if (ideal) out.push_back(s);
  }
  return out;
}

double max_relative_error(const std::vector<double>& a, const std::vector<double>& b) {
  if (a.size() != b.size()) return INFINITY;
  double worst = 0.0;
  for (std::size_t i = 0; i < a.size(); ++i) {
    worst = std::max(worst, std::abs(a[i] - b[i]) / std::max(1.0, std::abs(b[i])));
  }
  return worst;
}

}  // namespace morvend::testing

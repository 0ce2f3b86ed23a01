// Orders per second of every sampling estimator with a C++ value function
// (a hash of the coalition: no Python, no GIL), so that what is measured is
// the estimators' own cost: drawing, look-ups, caches and sums.
//
//   build/bench/sampling_native            # Markdown table on stdout
//   (cmake -B build/bench -DMORVEND_BUILD_BENCH=ON -DMORVEND_BUILD_PYTHON=OFF)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include <oneapi/tbb/task_arena.h>

#include "approx/approx.hpp"
#include "asv/ideal_levels.hpp"

namespace {

using namespace morvend;

// hash_value: a fixed pseudo-random value in [0, 1) per coalition.
double hash_value(Coalition c) {
  std::uint64_t h = 0x9E3779B97F4A7C15ULL;
  for (std::uint64_t w : c) {
    h = (h ^ w) * 0xBF58476D1CE4E5B9ULL;
    h ^= h >> 31;
  }
  return static_cast<double>(h >> 11) * 0x1.0p-53;
}

class HashOracle : public ValueOracle {
 public:
  Result<double> value(Coalition c) override { return hash_value(c); }
};

class HashBatchOracle : public BatchValueOracle {
 public:
  Result<std::vector<double>> values(std::span<const std::uint64_t> words,
                                     std::size_t count) override {
    const std::size_t w = words.size() / count;
    std::vector<double> out(count);
    for (std::size_t k = 0; k < count; ++k) out[k] = hash_value(words.subspan(k * w, w));
    return out;
  }
};

// sparse_dag: node i takes up to two parents among the eight nodes before it,
// so the graph stays narrow enough for the uniform estimator at 20 nodes.
Dag sparse_dag(std::size_t n, std::uint64_t seed) {
  std::mt19937_64 gen(seed);
  Dag g;
  for (std::size_t i = 0; i < n; ++i) g.add_node(std::to_string(i));
  for (NodeId i = 1; i < n; ++i) {
    for (int k = 0; k < 2; ++k) {
      const NodeId lo = i > 8 ? i - 8 : 0;
      const NodeId p = lo + static_cast<NodeId>(gen() % (i - lo));
      (void)g.add_edge(p, i);  // a repeated parent is refused; fine
    }
  }
  return g;
}

double median_seconds(const std::function<bool()>& run) {
  std::vector<double> times;
  for (int r = 0; r < 3; ++r) {
    const auto start = std::chrono::steady_clock::now();
    if (!run()) return -1.0;
    times.push_back(
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  }
  std::sort(times.begin(), times.end());
  return times[1];
}

}  // namespace

int main() {
  std::printf("threads in the pool: %d\n\n", tbb::this_task_arena::max_concurrency());
  std::printf("| nodes | mode | orders | orders/s |\n|---:|---|---:|---:|\n");
  for (std::size_t n : {20, 60, 200, 1000}) {
    const ExplainerState state = ExplainerState::build(sparse_dag(n, n)).value();
    const std::uint64_t orders = std::max<std::uint64_t>(2000, 4'000'000 / n);
    HashOracle oracle;
    HashBatchOracle batch;
    const std::vector<std::pair<std::string, std::function<Result<AsvResult>()>>> modes = {
        {"serial seeded",
         [&] { return approximate(state, oracle, {.n_samples = orders, .seed = 1}); }},
        {"unseeded pool", [&] { return approximate(state, oracle, {.n_samples = orders}); }},
        {"seeded parallel",
         [&] {
           return approximate(state, oracle, {.n_samples = orders, .seed = 1, .parallel = true});
         }},
        {"batched (256)",
         [&] { return approximate_batched(state, batch, {.n_samples = orders, .seed = 1}); }},
        {"adaptive",
         [&] {
           return approximate_adaptive(state, oracle,
                                       {.min_samples = orders, .max_samples = orders, .seed = 1});
         }},
        {"uniform",
         [&] {
           return approximate_uniform_sparse(state, oracle, {.n_samples = orders, .seed = 1},
                                             state.parent_masks(), kIdealMemoryBudget);
         }},
    };
    for (const auto& [name, run] : modes) {
      if (name == "uniform" &&
          (n > 63 || !ideals_at_most(state.parent_masks(), 1'000'000).value_or(false))) {
        continue;
      }
      std::string error;
      const double seconds = median_seconds([&] {
        Result<AsvResult> r = run();
        if (!r) error = "refused: " + r.error().message().substr(0, 40) + "...";
        return r.has_value();
      });
      if (seconds < 0) {
        std::printf("| %zu | %s | %llu | %s |\n", n, name.c_str(), (unsigned long long)orders,
                    error.c_str());
      } else {
        std::printf("| %zu | %s | %llu | %.0f |\n", n, name.c_str(), (unsigned long long)orders,
                    static_cast<double>(orders) / seconds);
      }
    }
  }
}

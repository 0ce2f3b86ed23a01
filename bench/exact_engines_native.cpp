// The sparse DP's own speed and memory, with a C++ value function (no Python).
//
// Usage: exact_engines_native <n> <edge probability> <seed>
// Prints one line: n edges ideals seconds ideals_per_second peak_bytes_per_ideal
// Peak memory is the growth of the process's high-water mark over the run.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <string>

#include "asv/explainer_state.hpp"
#include "dag_dp_sparse/dag_dp_sparse.hpp"

namespace {

// High-water mark of resident memory, in bytes.
long long peak_rss() {
  std::ifstream status("/proc/self/status");
  std::string key;
  while (status >> key) {
    if (key == "VmHWM:") {
      long long kb = 0;
      status >> kb;
      return kb * 1024;
    }
    status.ignore(1 << 20, '\n');
  }
  return 0;
}

// A cheap value function with no structure the engine could exploit.
class HashOracle final : public morvend::ValueOracle {
 public:
  morvend::Result<double> value(morvend::Coalition c) override {
    std::uint64_t z = c[0] * 0x9E3779B97F4A7C15ULL;
    z ^= z >> 31;
    return static_cast<double>(z >> 11) * 0x1.0p-53;
  }
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: %s n p seed\n", argv[0]);
    return 2;
  }
  const int n = std::atoi(argv[1]);
  const double p = std::atof(argv[2]);
  std::mt19937_64 gen(std::strtoull(argv[3], nullptr, 10));
  std::bernoulli_distribution coin(p);
  morvend::Dag g;
  for (int i = 0; i < n; ++i) g.add_node(std::to_string(i));
  for (int i = 0; i < n; ++i) {
    for (int j = i + 1; j < n; ++j) {
      if (coin(gen)) (void)g.add_edge(i, j);
    }
  }
  auto state = morvend::ExplainerState::build(g);
  HashOracle oracle;
  const long long before = peak_rss();
  const auto t0 = std::chrono::steady_clock::now();
  auto r = morvend::exact_dag_sparse(*state, oracle, {.max_nodes = 63});
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  if (!r) {
    std::printf("error %s\n", r.error().message().c_str());
    return 1;
  }
  const double ideals = static_cast<double>(*r->n_order_ideals);
  std::printf("%d %zu %.0f %.4f %.0f %.1f\n", n, g.n_edges(), ideals, seconds, ideals / seconds,
              static_cast<double>(peak_rss() - before) / ideals);
  return 0;
}

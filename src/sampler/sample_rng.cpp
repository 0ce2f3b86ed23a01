#include <sys/random.h>

#include <cerrno>
#include <cstring>
#include <optional>
#include <string>

#include "sampler/sampler.hpp"

namespace morvend {
namespace {

// Four blocks at once, lane j of every vector belonging to block j: the
// compiler maps the lanes to SSE2 or NEON registers, and integer arithmetic
// gives the same words on every processor.
using Lanes = std::uint32_t __attribute__((vector_size(16)));

inline Lanes rotl(Lanes x, int bits) { return (x << bits) | (x >> (32 - bits)); }

inline void quarter_round(Lanes& a, Lanes& b, Lanes& c, Lanes& d) {
  a += b;
  d = rotl(d ^ a, 16);
  c += d;
  b = rotl(b ^ c, 12);
  a += b;
  d = rotl(d ^ a, 8);
  c += d;
  b = rotl(b ^ c, 7);
}

constexpr int kDoubleRounds = 6;                     // ChaCha12
constexpr std::uint64_t kEntropyRekeyBlocks = 1024;  // 64 KiB of output per OS key

std::array<std::uint32_t, 8> os_key() {
  std::array<std::uint32_t, 8> key;
  auto* bytes = reinterpret_cast<unsigned char*>(key.data());
  std::size_t got = 0;
  while (got < sizeof(key)) {
    const ssize_t r = getrandom(bytes + got, sizeof(key) - got, 0);
    if (r < 0) {
      if (errno == EINTR) continue;
      throw InternalFault(std::string("operating-system entropy source failed: ") +
                          std::strerror(errno));
    }
    got += static_cast<std::size_t>(r);
  }
  return key;
}

}  // namespace

void SampleRng::refill() {
  Lanes x[16];
  const std::uint32_t constants[4] = {0x61707865, 0x3320646e, 0x79622d32, 0x6b206574};
  for (int i = 0; i < 4; ++i) x[i] = Lanes{} + constants[i];
  for (int i = 0; i < 8; ++i) x[4 + i] = Lanes{} + key_[i];
  for (int j = 0; j < 4; ++j) {
    const std::uint64_t c = counter_ + static_cast<std::uint64_t>(j);
    x[12][j] = static_cast<std::uint32_t>(c);
    x[13][j] = static_cast<std::uint32_t>(c >> 32);
  }
  x[14] = Lanes{};  // stream 0
  x[15] = Lanes{};
  Lanes input[16];
  for (int i = 0; i < 16; ++i) input[i] = x[i];
  for (int r = 0; r < kDoubleRounds; ++r) {
    quarter_round(x[0], x[4], x[8], x[12]);
    quarter_round(x[1], x[5], x[9], x[13]);
    quarter_round(x[2], x[6], x[10], x[14]);
    quarter_round(x[3], x[7], x[11], x[15]);
    quarter_round(x[0], x[5], x[10], x[15]);
    quarter_round(x[1], x[6], x[11], x[12]);
    quarter_round(x[2], x[7], x[8], x[13]);
    quarter_round(x[3], x[4], x[9], x[14]);
  }
  for (int i = 0; i < 16; ++i) {
    const Lanes out = x[i] + input[i];
    for (int j = 0; j < 4; ++j) buffer_[16 * j + i] = out[j];
  }
  counter_ += 4;
  pos_ = 0;
}

SampleRng rng_from_seed(std::uint64_t seed) {
  // PCG32, state advanced before each output word.
  std::array<std::uint32_t, 8> key;
  std::uint64_t state = seed;
  for (std::uint32_t& word : key) {
    state = state * 0x5851F42D4C957F2DULL + 0xA17654E46FBE17F3ULL;
    const auto x = static_cast<std::uint32_t>(((state >> 18) ^ state) >> 27);
    const auto r = static_cast<int>(state >> 59);
    word = (x >> r) | (x << ((32 - r) & 31));
  }
  return SampleRng(key);
}

SampleRng rng_from_entropy() {
  thread_local std::optional<SampleRng> source;
  if (!source || source->blocks() >= kEntropyRekeyBlocks) source.emplace(os_key());
  std::array<std::uint32_t, 8> key;
  for (std::uint32_t& word : key) word = source->next_word32();
  return SampleRng(key);
}

std::uint64_t worker_seed(std::uint64_t seed, std::uint64_t w) {
  std::uint64_t z = (seed + w) * 0x9E3779B97F4A7C15ULL;
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
  return z ^ (z >> 31);
}

std::uint64_t draw_below_wide(SampleRng& rng, std::uint64_t m) {
  using u128 = unsigned __int128;
  const u128 p = u128{rng.next_word64()} * m;
  const auto lo = static_cast<std::uint64_t>(p);
  const auto hi = static_cast<std::uint64_t>(p >> 64);
  if (lo <= 0 - m) return hi;
  const auto t = static_cast<std::uint64_t>((u128{rng.next_word64()} * m) >> 64);
  return lo + t < lo ? hi + 1 : hi;  // lo + t >= 2^64
}

}  // namespace morvend

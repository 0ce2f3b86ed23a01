#include "graph/name_index.hpp"

#include <sys/random.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <limits>

namespace morvend {
namespace detail {
namespace {

// os_key: eight bytes from getrandom(2), else from /dev/urandom. Not
// std::random_device: libstdc++ draws it from arc4random, which glibc has only
// from 2.36 on, and the static runtime inside the module would then refuse
// to load on older systems. With neither source (a sandbox without either)
// the clock and an address still differ from one process to the next.
std::uint64_t os_key() {
  std::uint64_t key = 0;
  auto* bytes = reinterpret_cast<unsigned char*>(&key);
  std::size_t got = 0;
  while (got < sizeof key) {
    const ssize_t n = getrandom(bytes + got, sizeof key - got, 0);
    if (n > 0) {
      got += static_cast<std::size_t>(n);
    } else if (n < 0 && errno != EINTR) {
      break;
    }
  }
  if (got == sizeof key) return key;
  if (std::FILE* f = std::fopen("/dev/urandom", "rb")) {
    got = std::fread(&key, 1, sizeof key, f);
    std::fclose(f);
    if (got == sizeof key) return key;
  }
  return static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
         reinterpret_cast<std::uintptr_t>(&key);
}

}  // namespace

std::uint64_t next_hash_seed() {
  // One key from the OS per process, then a SplitMix64 stream: cheap enough
  // for graphs created by the thousand, still unpredictable from outside.
  static const std::uint64_t process_key = os_key();
  static std::atomic<std::uint64_t> counter{0};
  std::uint64_t z = process_key + counter.fetch_add(1, std::memory_order_relaxed) *
                                      0x9E3779B97F4A7C15ULL;
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
  return z ^ (z >> 31);
}

}  // namespace detail

NameIndex::NameIndex() : hash_{detail::next_hash_seed()} {}

std::size_t NameIndex::probe(std::string_view name, std::uint32_t tag) const {
  // Linear probing: the slot holding `name`, or the empty slot ending its run.
  const std::size_t mask = slots_.size() - 1;
  for (std::size_t i = tag & mask;; i = (i + 1) & mask) {
    const Slot& s = slots_[i];
    if (s.id == kEmpty || (s.tag == tag && names_[s.id] == name)) return i;
  }
}

void NameIndex::grow(std::size_t min_slots) {
  std::size_t size = slots_.empty() ? 16 : slots_.size();
  while (size < min_slots) size *= 2;
  if (size == slots_.size()) return;
  std::vector<Slot> old(size, Slot{kEmpty, 0});
  old.swap(slots_);
  for (const Slot& s : old) {
    if (s.id != kEmpty) place(s);
  }
}

void NameIndex::place(Slot slot) {
  const std::size_t mask = slots_.size() - 1;
  std::size_t i = slot.tag & mask;
  while (slots_[i].id != kEmpty) i = (i + 1) & mask;
  slots_[i] = slot;
}

NameIndex NameIndex::subset(std::span<const NodeId> ids) const {
  NameIndex out;
  out.reserve(ids.size());
  std::vector<std::uint32_t> tags(ids.size());
  for (std::size_t i = 0; i < ids.size(); ++i) {
    out.names_.push_back(name(ids[i]));
    tags[i] = static_cast<std::uint32_t>(out.hash(out.names_[i]));
  }
  // The slots are written at random: fetch them a few names ahead.
  constexpr std::size_t kAhead = 8;
  for (NodeId i = 0; i < ids.size(); ++i) {
    if (i + kAhead < ids.size()) out.prefetch(tags[i + kAhead]);
    out.place(Slot{i, tags[i]});
  }
  return out;
}

void NameIndex::reserve(std::size_t n) {
  names_.reserve(n);
  grow(2 * n);
}

NodeId NameIndex::add(std::string_view name, std::uint64_t hash) {
  if (slots_.empty()) grow(16);
  const auto tag = static_cast<std::uint32_t>(hash);
  std::size_t i = probe(name, tag);
  if (slots_[i].id != kEmpty) return slots_[i].id;
  if (names_.size() >= std::numeric_limits<NodeId>::max() - 1) {
    throw InternalFault("node count exceeds the NodeId range");
  }
  const auto id = static_cast<NodeId>(names_.size());
  names_.emplace_back(name);
  slots_[i] = Slot{id, tag};
  if (2 * names_.size() > slots_.size()) grow(2 * slots_.size());
  return id;
}

std::optional<NodeId> NameIndex::find(std::string_view name, std::uint64_t hash) const {
  if (slots_.empty()) return std::nullopt;
  const Slot& s = slots_[probe(name, static_cast<std::uint32_t>(hash))];
  if (s.id == kEmpty) return std::nullopt;
  return s.id;
}

void NameIndex::out_of_range(NodeId id) {
  throw InternalFault("node id out of range: " + std::to_string(id));
}

}  // namespace morvend

// NameIndex: node names by NodeId and the reverse map from name to NodeId.
//
// Get-or-insert by name; ids are dense in insertion order and never change.
// Each name is stored once (in names()); the reverse map is an open-addressing
// table of (id, hash bits), so an insertion hashes the name once and growing
// the table rehashes nothing. The hash is keyed per index from a process-wide
// random key, so crafted names cannot force collisions; no listing ever walks
// the table.
//
//   NameIndex index;
//   NodeId a = index.add("age");          // 0
//   index.find("age");                    // 0
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "graph/asv_error.hpp"

namespace morvend {
namespace detail {

inline std::uint64_t fold_multiply(std::uint64_t a, std::uint64_t b) {
  const unsigned __int128 p = static_cast<unsigned __int128>(a) * b;
  return static_cast<std::uint64_t>(p) ^ static_cast<std::uint64_t>(p >> 64);
}

// A keyed 64-bit string hash (multiply-fold mixing over 8-byte words).
// Inline: bulk look-ups and builds hash every name.
struct SeededStringHash {
  using is_transparent = void;
  static constexpr std::uint64_t kMul0 = 0xa0761d6478bd642fULL;
  static constexpr std::uint64_t kMul1 = 0xe7037ed1a0b428dbULL;
  std::uint64_t seed;
  std::size_t operator()(std::string_view s) const noexcept {
    std::uint64_t h = seed ^ fold_multiply(s.size() ^ kMul0, kMul1);
    const char* p = s.data();
    std::size_t left = s.size();
    for (; left >= 8; p += 8, left -= 8) {
      std::uint64_t w;
      std::memcpy(&w, p, 8);
      h = fold_multiply(h ^ w, kMul0 ^ seed);
    }
    if (left > 0) {
      std::uint64_t w = 0;
      std::memcpy(&w, p, left);
      h = fold_multiply(h ^ w, kMul0 ^ seed);
    }
    return static_cast<std::size_t>(fold_multiply(h, kMul1));
  }
};

// A fresh key for each new index.
std::uint64_t next_hash_seed();

}  // namespace detail

class NameIndex {
 public:
  NameIndex();

  // add: returns the id of `name`, inserting it with id size() when new.
  NodeId add(std::string_view name) { return add(name, hash(name)); }
  // add with a precomputed hash: REQUIRES hash == this->hash(name). Lets a
  // bulk build hash names ahead and prefetch their slots.
  NodeId add(std::string_view name, std::uint64_t hash);
  // hash: this index's hash of `name`.
  std::uint64_t hash(std::string_view name) const { return hash_(name); }
  // prefetch: hints that a name with this hash is about to be looked up;
  // prefetch_name, issued later, also fetches the name in its home slot.
  void prefetch(std::uint64_t hash) const {
    if (!slots_.empty()) __builtin_prefetch(&slots_[hash & (slots_.size() - 1)]);
  }
  void prefetch_name(std::uint64_t hash) const {
    if (slots_.empty()) return;
    const NodeId id = slots_[hash & (slots_.size() - 1)].id;
    if (id != kEmpty) __builtin_prefetch(&names_[id]);
  }
  // find: the id of `name`, or nothing.
  std::optional<NodeId> find(std::string_view name) const { return find(name, hash(name)); }
  // find with a precomputed hash: REQUIRES hash == this->hash(name).
  std::optional<NodeId> find(std::string_view name, std::uint64_t hash) const;
  // name: REQUIRES id < size() (else InternalFault).
  const std::string& name(NodeId id) const {
    if (id >= names_.size()) [[unlikely]] out_of_range(id);
    return names_[id];
  }
  const std::vector<std::string>& names() const { return names_; }
  std::size_t size() const { return names_.size(); }
  // reserve: room for `n` names without growing the table.
  void reserve(std::size_t n);
  // subset: a new index of the names of `ids` (distinct, each < size()), the
  // i-th getting id i. Their names are known to differ, so none is compared.
  NameIndex subset(std::span<const NodeId> ids) const;

 private:
  // An empty slot has id kEmpty; `tag` is the low 32 bits of the name's hash,
  // which also give its home position (tables stay below 2^32 slots).
  struct Slot {
    NodeId id;
    std::uint32_t tag;
  };
  static constexpr NodeId kEmpty = static_cast<NodeId>(-1);

  [[noreturn]] static void out_of_range(NodeId id);
  std::size_t probe(std::string_view name, std::uint32_t tag) const;
  // place: puts a slot known to be new in the first empty slot of its run.
  void place(Slot slot);
  void grow(std::size_t min_slots);

  std::vector<std::string> names_;
  std::vector<Slot> slots_;  // a power of two in size, at most half full
  detail::SeededStringHash hash_;
};

// for_each_hashed: calls visit(i, hash) for i = 0 .. count-1 in order, where
// hash is index's hash of text(i). Names are hashed kAhead items early and
// their slots and names prefetched, so that the cache misses of a bulk
// look-up or build in a large graph overlap instead of queueing. Stops at the first
// visit that returns false, and returns false then.
template <class Text, class Visit>
bool for_each_hashed(const NameIndex& index, std::size_t count, Text text, Visit visit) {
  constexpr std::size_t kAhead = 16, kNameAhead = 8;
  std::uint64_t ahead[kAhead];
  const auto hash_ahead = [&](std::size_t i) {
    if (i >= count) return;
    ahead[i % kAhead] = index.hash(text(i));
    index.prefetch(ahead[i % kAhead]);
  };
  for (std::size_t i = 0; i < kAhead; ++i) hash_ahead(i);
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint64_t hash = ahead[i % kAhead];
    if (i + kNameAhead < count) index.prefetch_name(ahead[(i + kNameAhead) % kAhead]);
    hash_ahead(i + kAhead);
    if (!visit(i, hash)) return false;
  }
  return true;
}

// find_all: the ids of text(0 .. count-1) in order (repeats kept), hashed
// ahead as by for_each_hashed; else the position of the first name the
// index does not hold.
template <class Text>
std::expected<std::vector<NodeId>, std::size_t> find_all(const NameIndex& index, std::size_t count,
                                                         Text text) {
  std::vector<NodeId> ids(count);
  std::size_t unknown = 0;
  const bool found = for_each_hashed(index, count, text, [&](std::size_t i, std::uint64_t hash) {
    const std::optional<NodeId> id = index.find(text(i), hash);
    ids[i] = id.value_or(0);
    unknown = i;
    return id.has_value();
  });
  if (!found) return std::unexpected(unknown);
  return ids;
}

}  // namespace morvend

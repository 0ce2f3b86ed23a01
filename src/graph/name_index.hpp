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

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "graph/asv_error.hpp"

namespace morvend {
namespace detail {

// A keyed 64-bit string hash (multiply-fold mixing over 8-byte words).
struct SeededStringHash {
  using is_transparent = void;
  std::uint64_t seed;
  std::size_t operator()(std::string_view s) const noexcept;
};

// A fresh key for each new index.
std::uint64_t next_hash_seed();

}  // namespace detail

class NameIndex {
 public:
  NameIndex();

  // add: returns the id of `name`, inserting it with id size() when new.
  NodeId add(std::string_view name);
  // find: the id of `name`, or nothing.
  std::optional<NodeId> find(std::string_view name) const;
  // name: REQUIRES id < size() (else InternalFault).
  const std::string& name(NodeId id) const;
  const std::vector<std::string>& names() const { return names_; }
  std::size_t size() const { return names_.size(); }
  // reserve: room for `n` names without growing the table.
  void reserve(std::size_t n);

 private:
  // An empty slot has id kEmpty; `tag` is the low 32 bits of the name's hash,
  // which also give its home position (tables stay below 2^32 slots).
  struct Slot {
    NodeId id;
    std::uint32_t tag;
  };
  static constexpr NodeId kEmpty = static_cast<NodeId>(-1);

  std::size_t probe(std::string_view name, std::uint32_t tag) const;
  void grow(std::size_t min_slots);

  std::vector<std::string> names_;
  std::vector<Slot> slots_;  // a power of two in size, at most half full
  detail::SeededStringHash hash_;
};

}  // namespace morvend

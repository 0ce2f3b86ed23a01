// NameIndex: node names by NodeId and the reverse map from name to NodeId.
//
// Get-or-insert by name; ids are dense in insertion order and never change.
// The hash is keyed per index from a process-wide random key, so crafted
// names cannot force collisions; no listing ever walks the hash map.
#pragma once

#include <cstdint>
#include <functional>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <boost/unordered/unordered_flat_map.hpp>

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

 private:
  std::vector<std::string> names_;
  boost::unordered_flat_map<std::string, NodeId, detail::SeededStringHash, std::equal_to<>> ids_;
};

}  // namespace morvend

// Node names at the boundary: the Python str of each name, made once per
// graph instance and handed out by reference; name lists built from them; and
// the resolution of names given by the user.
//
// NameStrs lives in the Python instance next to its graph (the core knows
// nothing of Python). Graphs only grow and a name never changes, so a str,
// once made, stays right; the graph's order of names by UTF-8 bytes (a
// NameOrder) is kept too and rebuilt when nodes were added since. Everything here
// REQUIRES the GIL. Nothing here runs Python code or releases the GIL, so a
// method filling the cache under a shared borrow is never interleaved with
// another.
//
//   NameStrs& strs = instance_of<Dag>(self)->strs;
//   return sorted_names_list(strs, g.names(), ancestors(g, id));
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "graph/asv_error.hpp"
#include "graph/name_index.hpp"
#include "graph/name_order.hpp"
#include "python/arg_convert.hpp"
#include "python/errors.hpp"

namespace morvend::py {

class NameStrs {
 public:
  NameStrs() = default;
  NameStrs(NameStrs&& other) noexcept
      : strs_(std::move(other.strs_)),
        order_(std::move(other.order_)) {}
  NameStrs& operator=(NameStrs&&) = delete;
  NameStrs(const NameStrs&) = delete;
  ~NameStrs() { clear(); }

  // str: the str of names[id] (borrowed), made on first use; nullptr with an
  // exception set when it cannot be made. REQUIRES: id < names.size().
  PyObject* str(std::span<const std::string> names, NodeId id) {
    if (id < strs_.size() && strs_[id] != nullptr) return strs_[id];
    return make(names, id);
  }
  // keep: takes `obj` as the str of node `id` when it is an exact str (a
  // subclass would show through) and the node has none yet.
  void keep(NodeId id, PyObject* obj);
  // keep_from: node k takes the str `source` made for source_ids[k], if any.
  void keep_from(const NameStrs& source, std::span<const NodeId> source_ids);
  // keep_same: node k takes the str `source` made for its node k, for k < n.
  void keep_same(const NameStrs& source, std::size_t n);
  // fill: makes every str not made yet; false with an exception set.
  bool fill(std::span<const std::string> names);
  // data: the strs after a successful fill, one per name.
  PyObject* const* data() const { return strs_.data(); }

  // order: the names ranked by UTF-8 bytes, kept for the next listing.
  NameOrder& order() { return order_; }

 private:
  PyObject* make(std::span<const std::string> names, NodeId id);
  void clear();

  std::vector<PyObject*> strs_;  // owned; nullptr where none is made yet
  NameOrder order_;
};

// Result builders; each returns a new reference or nullptr with an exception set.
PyObject* names_list(NameStrs& strs, std::span<const std::string> names);
// name_pairs_list: a list of (name, name) tuples, one per pair of ids.
PyObject* name_pairs_list(NameStrs& strs, std::span<const std::string> names,
                          std::span<const std::pair<NodeId, NodeId>> pairs);
// sorted_names_list: the names of `ids` (no repeats) in ascending UTF-8 byte
// order, which is Python's order of str.
PyObject* sorted_names_list(NameStrs& strs, std::span<const std::string> names,
                            std::vector<NodeId> ids);
// sorted_layers_list: one sorted names list per layer, layer k being
// ids[starts[k] .. starts[k + 1]).
PyObject* sorted_layers_list(NameStrs& strs, std::span<const std::string> names,
                             std::span<NodeId> ids, std::span<const std::size_t> starts);

// raise_unknown_node: ValueError "unknown node: <name>"; returns nullptr.
inline PyObject* raise_unknown_node(std::string_view name) {
  return raise_value_error("unknown node: " + std::string(name));
}

// resolve: the id of `name` in `g` (a Dag or a Cpdag), or nothing with the
// unknown-node ValueError.
template <class Graph>
std::optional<NodeId> resolve(const Graph& g, std::string_view name) {
  std::optional<NodeId> id = g.node_id(name);
  if (!id) raise_unknown_node(name);
  return id;
}

// resolve_names: the ids of `names` in order (repeats kept), or nothing with
// the ValueError of the first unknown name.
template <class Graph>
std::optional<std::vector<NodeId>> resolve_names(const Graph& g, const NamesArg& names) {
  auto ids = find_all(g.name_index(), names.names.size(),
                      [&](std::size_t i) { return names.names[i]; });
  if (!ids) {
    raise_unknown_node(names.names[ids.error()]);
    return std::nullopt;
  }
  return std::move(*ids);
}

}  // namespace morvend::py

// Cpdag: a partially directed graph over named variables, standing for a
// Markov equivalence class. Directed (compelled) and undirected (unresolved)
// edges, each list in insertion order; nodes are only ever added.
//
//   Cpdag g;
//   NodeId a = g.add_node("a");
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "graph/asv_error.hpp"
#include "graph/name_index.hpp"

namespace morvend {

class Cpdag {
 public:
  Cpdag() = default;

  // add_node: get-or-insert by name, as for Dag.
  NodeId add_node(std::string_view name) {
    const NodeId id = names_.add(name);
    if (id == directed_children_.size()) {
      directed_children_.emplace_back();
      directed_parents_.emplace_back();
      undirected_.emplace_back();
    }
    return id;
  }
  std::optional<NodeId> node_id(std::string_view name) const { return names_.find(name); }
  const std::string& name(NodeId id) const { return names_.name(id); }
  const std::vector<std::string>& names() const { return names_.names(); }
  std::size_t n_nodes() const { return directed_children_.size(); }

 private:
  NameIndex names_;
  std::vector<std::vector<NodeId>> directed_children_;
  std::vector<std::vector<NodeId>> directed_parents_;
  std::vector<std::vector<NodeId>> undirected_;
};

}  // namespace morvend

// ExplainerState: the frozen problem every engine reads.
//
// Built once from a user's graph (validated, copied) and never changed, so
// engines and worker threads share it read-only without locking.
//
//   Result<ExplainerState> st = ExplainerState::build(dag);  // EmptyGraph, Cycle
//   st->parent_masks()[i];  // bit u set when u is a parent of i (n <= 63)
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "graph/dag.hpp"

namespace morvend {

class ExplainerState {
 public:
  // build: validates `dag` and takes a copy of it.
  [[nodiscard]] static Result<ExplainerState> build(const Dag& dag);

  const Dag& graph() const { return graph_; }
  std::size_t n_nodes() const { return graph_.n_nodes(); }
  const std::vector<std::string>& names() const { return graph_.names(); }
  // One mask per node when n <= 63; empty for larger graphs.
  const std::vector<std::uint64_t>& parent_masks() const { return parent_masks_; }
  bool is_rooted_tree() const { return rooted_tree_; }

 private:
  explicit ExplainerState(Dag graph);

  Dag graph_;
  std::vector<std::uint64_t> parent_masks_;
  bool rooted_tree_ = false;
};

}  // namespace morvend

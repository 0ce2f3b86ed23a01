// The pieces of the classes' reprs that need no Python: the class with its
// counts, and which edges show (every edge of a graph of at most kReprEdges
// edges, none of a larger one). Quoting the names, as Python shows them, is
// the caller's.
//
//   ReprPieces p = repr_pieces("CausalDAG", dag);
//   p.head;   // "<CausalDAG: 3 nodes, 1 edge"
//   p.edges;  // {{0, 1, "->"}}; then ": 'a' -> 'b'" and ">" complete the repr
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "cpdag/cpdag.hpp"
#include "graph/dag.hpp"

namespace morvend {

// Graphs with at most this many edges show them in their repr.
inline constexpr std::size_t kReprEdges = 10;

// ReprEdge: one edge of a repr, by ids, with its arrow ("->" or "--").
struct ReprEdge {
  NodeId from, to;
  const char* arrow;
};

struct ReprPieces {
  std::string head;  // "<Class: 3 nodes, 2 edges", without the closing '>'
  std::vector<ReprEdge> edges;
};

// repr_pieces: node and edge counts; the edges too when `with_edges`.
ReprPieces repr_pieces(std::string_view cls, const Dag& g, bool with_edges = true);
// repr_pieces: node, directed and undirected edge counts; directed edges,
// then undirected ones.
ReprPieces repr_pieces(std::string_view cls, const Cpdag& g);

}  // namespace morvend

#include "formats/repr_text.hpp"

#include <initializer_list>
#include <utility>

namespace morvend {
namespace {

// head_text: "<Class: 3 nodes, 1 edge, 0 directed edges".
std::string head_text(std::string_view cls,
                      std::initializer_list<std::pair<const char*, std::size_t>> counts) {
  std::string text = "<" + std::string(cls) + ":";
  bool first = true;
  for (const auto& [label, count] : counts) {
    text += (first ? " " : ", ") + std::to_string(count) + " " + label;
    if (count != 1) text += 's';
    first = false;
  }
  return text;
}

void add_edges(std::vector<ReprEdge>& out, const std::vector<std::pair<NodeId, NodeId>>& edges,
               const char* arrow) {
  for (const auto& [from, to] : edges) out.push_back({from, to, arrow});
}

}  // namespace

ReprPieces repr_pieces(std::string_view cls, const Dag& g, bool with_edges) {
  ReprPieces pieces{head_text(cls, {{"node", g.n_nodes()}, {"edge", g.n_edges()}}), {}};
  if (with_edges && g.n_edges() <= kReprEdges) add_edges(pieces.edges, edge_list(g), "->");
  return pieces;
}

ReprPieces repr_pieces(std::string_view cls, const Cpdag& g) {
  ReprPieces pieces{head_text(cls, {{"node", g.n_nodes()},
                                  {"directed edge", g.n_directed_edges()},
                                  {"undirected edge", g.n_undirected_edges()}}),
                  {}};
  if (g.n_directed_edges() + g.n_undirected_edges() <= kReprEdges) {
    add_edges(pieces.edges, directed_edge_list(g), "->");
    add_edges(pieces.edges, undirected_edge_list(g), "--");
  }
  return pieces;
}

}  // namespace morvend

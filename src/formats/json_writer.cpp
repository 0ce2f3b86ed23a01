#include <nlohmann/json.hpp>

#include "formats/formats.hpp"

namespace morvend {
namespace {

using nlohmann::json;

// The library's compact dump already prints keys in byte order (objects are
// std::map) and escapes exactly '"', '\\' and the control characters, with
// lowercase hex for those without a short form.
json edge_object(const char* first_key, const std::string& first, const char* second_key,
                 const std::string& second) {
  return json::object({{first_key, first}, {second_key, second}});
}

json edge_array(std::size_t reserve) {
  json array = json::array();
  array.get_ref<json::array_t&>().reserve(reserve);
  return array;
}

}  // namespace

std::string to_json(const Dag& g) {
  json edges = edge_array(g.n_edges());
  for (NodeId u = 0; u < g.n_nodes(); ++u) {
    for (NodeId v : g.children(u)) {
      edges.push_back(edge_object("from", g.name(u), "to", g.name(v)));
    }
  }
  const json doc = json::object({{"edges", std::move(edges)}, {"nodes", g.names()}});
  return doc.dump();
}

std::string to_json(const Cpdag& g) {
  json directed = edge_array(g.n_directed_edges());
  json undirected = edge_array(g.n_undirected_edges());
  for (NodeId u = 0; u < g.n_nodes(); ++u) {
    for (NodeId v : g.directed_children(u)) {
      directed.push_back(edge_object("from", g.name(u), "to", g.name(v)));
    }
    for (NodeId v : g.undirected_neighbours(u)) {
      if (u < v) undirected.push_back(edge_object("a", g.name(u), "b", g.name(v)));
    }
  }
  const json doc = json::object({{"directed_edges", std::move(directed)},
                                 {"nodes", g.names()},
                                 {"undirected_edges", std::move(undirected)}});
  return doc.dump();
}

}  // namespace morvend

#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "formats/formats.hpp"

namespace morvend {
namespace {

// The documents have a fixed shape, so only the names need the library: each
// is escaped once, exactly as its compact dump prints a string ('"', '\\' and
// control characters escaped, lowercase hex, everything else as UTF-8), and
// the rest is written around them. This gives the bytes of a dump of the
// whole document tree without building a tree of millions of objects.
std::vector<std::string> quoted_names(const std::vector<std::string>& names) {
  std::vector<std::string> out;
  out.reserve(names.size());
  for (const std::string& name : names) out.push_back(nlohmann::json(name).dump());
  return out;
}

using Pairs = std::vector<std::pair<NodeId, NodeId>>;

// append_member: "key":[{"first":..,"second":..},...] for the pairs.
void append_member(std::string& out, std::string_view key, const Pairs& pairs,
                   std::string_view first, std::string_view second,
                   const std::vector<std::string>& quoted) {
  out.append("\"").append(key).append("\":[");
  for (std::size_t i = 0; i < pairs.size(); ++i) {
    if (i > 0) out += ',';
    out.append("{\"").append(first).append("\":").append(quoted[pairs[i].first]);
    out.append(",\"").append(second).append("\":").append(quoted[pairs[i].second]).append("}");
  }
  out += ']';
}

void append_nodes(std::string& out, const std::vector<std::string>& quoted) {
  out.append("\"nodes\":[");
  for (std::size_t i = 0; i < quoted.size(); ++i) {
    if (i > 0) out += ',';
    out += quoted[i];
  }
  out += ']';
}

}  // namespace

std::string to_json(const Dag& g) {
  const std::vector<std::string> quoted = quoted_names(g.names());
  std::string out = "{";
  append_member(out, "edges", edge_list(g), "from", "to", quoted);
  out += ',';
  append_nodes(out, quoted);
  out += '}';
  return out;
}

std::string to_json(const Cpdag& g) {
  const std::vector<std::string> quoted = quoted_names(g.names());
  std::string out = "{";
  append_member(out, "directed_edges", directed_edge_list(g), "from", "to", quoted);
  out += ',';
  append_nodes(out, quoted);
  out += ',';
  append_member(out, "undirected_edges", undirected_edge_list(g), "a", "b", quoted);
  out += '}';
  return out;
}

}  // namespace morvend

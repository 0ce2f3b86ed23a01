#include <algorithm>
#include <optional>

#include <nlohmann/json.hpp>

#include "formats/formats.hpp"

namespace morvend {
namespace {

using nlohmann::json;
using Status = std::expected<void, std::string>;

// malformed: "malformed JSON: " followed by the pieces.
template <class... Pieces>
std::unexpected<std::string> malformed(const Pieces&... pieces) {
  std::string text = "malformed JSON: ";
  (text.append(pieces), ...);
  return std::unexpected(std::move(text));
}

// The library's description without its "[json.exception...] " tag and
// "parse error at line L, column C: " lead; the position is rebuilt below.
std::string_view describe(std::string_view what) {
  if (const auto p = what.find("] "); p != std::string_view::npos) what.remove_prefix(p + 2);
  if (what.starts_with("parse error")) {
    if (const auto p = what.find(": "); p != std::string_view::npos) what.remove_prefix(p + 2);
  }
  return what;
}

// at_position: " at line L column C" after `bytes_read` bytes. Lines count
// from 1; the column counts the bytes read on the last line, so an empty
// text gives line 1, column 0. The parser counts reaching the end as one
// more byte read, hence the clamp.
std::string at_position(std::string_view text, std::size_t bytes_read) {
  const std::string_view read = text.substr(0, std::min(bytes_read, text.size()));
  const auto line = 1 + std::ranges::count(read, '\n');
  const std::size_t last_newline = read.rfind('\n');
  const std::size_t column =
      last_newline == std::string_view::npos ? read.size() : read.size() - last_newline - 1;
  return " at line " + std::to_string(line) + " column " + std::to_string(column);
}

// The offset of the bracket that opens nesting level kMaxJsonDepth + 1. Only
// used once the parser has accepted the text up to that bracket, so strings
// and escapes are well formed there.
std::size_t too_deep_offset(std::string_view text) {
  std::size_t depth = 0;
  bool in_string = false;
  bool escaped = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (in_string) {
      if (escaped) {
        escaped = false;
      } else if (c == '\\') {
        escaped = true;
      } else if (c == '"') {
        in_string = false;
      }
    } else if (c == '"') {
      in_string = true;
    } else if (c == '[' || c == '{') {
      if (++depth > kMaxJsonDepth) return i;
    } else if (c == ']' || c == '}') {
      --depth;
    }
  }
  return text.size();
}

// Builds the document tree like the library's own parser (which keeps an
// explicit stack, not the call stack), refusing to open a container deeper
// than kMaxJsonDepth and keeping the first syntax error instead of throwing.
class DepthLimitedBuilder : public nlohmann::detail::json_sax_dom_parser<json> {
  using Base = nlohmann::detail::json_sax_dom_parser<json>;

 public:
  explicit DepthLimitedBuilder(json& root) : Base(root, /*allow_exceptions_=*/false) {}

  bool start_object(std::size_t len) { return enter() && Base::start_object(len); }
  bool start_array(std::size_t len) { return enter() && Base::start_array(len); }
  bool end_object() {
    --depth_;
    return Base::end_object();
  }
  bool end_array() {
    --depth_;
    return Base::end_array();
  }
  template <class Exception>
  bool parse_error(std::size_t bytes_read, const std::string&, const Exception& e) {
    error_ = std::string(describe(e.what()));
    bytes_read_ = bytes_read;
    return false;
  }

  // failure: the message for a parse that stopped, given the parsed text.
  std::string failure(std::string_view text) const {
    if (error_) return "malformed JSON: " + *error_ + at_position(text, bytes_read_);
    return "malformed JSON: nesting deeper than " + std::to_string(kMaxJsonDepth) + " levels" +
           at_position(text, too_deep_offset(text) + 1);
  }

 private:
  bool enter() {
    if (depth_ == kMaxJsonDepth) return false;
    ++depth_;
    return true;
  }

  std::size_t depth_ = 0;
  std::optional<std::string> error_;
  std::size_t bytes_read_ = 0;
};

// parse: the document, which must be an object.
ReadResult<json> parse(std::string_view text) {
  json doc;
  DepthLimitedBuilder builder(doc);
  if (!json::sax_parse(text.begin(), text.end(), &builder)) {
    return std::unexpected(builder.failure(text));
  }
  if (!doc.is_object()) return malformed("the top-level value must be an object");
  return doc;
}

// member: doc[key] if present. A repeated key keeps its last value.
const json* member(const json& doc, const char* key) {
  const auto it = doc.find(key);
  return it == doc.end() ? nullptr : &*it;
}

template <class Graph>
Status read_nodes(const json& doc, Graph& g) {
  const json* nodes = member(doc, "nodes");
  if (nodes == nullptr) return {};
  if (!nodes->is_array()) return malformed("\"nodes\" must be an array");
  for (const json& entry : *nodes) {
    if (!entry.is_string()) return malformed("\"nodes\" entries must be strings");
    g.add_node(entry.get_ref<const std::string&>());
  }
  return {};
}

// The shape of one edge array: its member name, the noun of its messages
// and the keys of its two ends.
struct EdgeShape {
  const char* member;
  const char* noun;
  const char* first;
  const char* second;
};

// read_edges: every entry of doc[shape.member], in order, through
// insert(first id, second id), which adds the ends' nodes first to last.
template <class Graph, class Insert>
Status read_edges(const json& doc, const EdgeShape& shape, Graph& g, Insert insert) {
  const json* edges = member(doc, shape.member);
  if (edges == nullptr) return {};
  if (!edges->is_array()) {
    return malformed("\"", shape.member, "\" must be an array");
  }
  for (const json& entry : *edges) {
    const json* ends[2] = {member(entry, shape.first), member(entry, shape.second)};
    for (int k = 0; k < 2; ++k) {
      if (ends[k] == nullptr || !ends[k]->is_string()) {
        return malformed(shape.noun, " missing string \"", k == 0 ? shape.first : shape.second,
                         "\"");
      }
    }
    const NodeId a = g.add_node(ends[0]->template get_ref<const std::string&>());
    const NodeId b = g.add_node(ends[1]->template get_ref<const std::string&>());
    if (Result<void> r = insert(a, b); !r) return std::unexpected(r.error().message());
  }
  return {};
}

}  // namespace

ReadResult<Dag> dag_from_json(std::string_view text) {
  ReadResult<json> doc = parse(text);
  if (!doc) return std::unexpected(doc.error());
  Dag g;
  const auto add = [&](NodeId a, NodeId b) { return g.add_edge(a, b); };
  Status ok = read_nodes(*doc, g);
  if (ok) ok = read_edges(*doc, {"edges", "edge", "from", "to"}, g, add);
  if (!ok) return std::unexpected(ok.error());
  return g;
}

ReadResult<Cpdag> cpdag_from_json(std::string_view text) {
  ReadResult<json> doc = parse(text);
  if (!doc) return std::unexpected(doc.error());
  Cpdag g;
  const auto directed = [&](NodeId a, NodeId b) { return g.add_directed_edge(a, b); };
  const auto undirected = [&](NodeId a, NodeId b) { return g.add_undirected_edge(a, b); };
  Status ok = read_nodes(*doc, g);
  if (ok) ok = read_edges(*doc, {"directed_edges", "directed edge", "from", "to"}, g, directed);
  if (ok) ok = read_edges(*doc, {"undirected_edges", "undirected edge", "a", "b"}, g, undirected);
  if (!ok) return std::unexpected(ok.error());
  return g;
}

}  // namespace morvend

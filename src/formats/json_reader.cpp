// The JSON readers: one pass of the library's SAX parser over the text keeps,
// for each member a reader uses, the last value given to it in compact form
// (names in one buffer); the graph is built afterwards, nodes first. No
// document tree is built: on big graphs it cost several times the parse.
#include <algorithm>
#include <cstring>
#include <span>
#include <vector>

#include <nlohmann/json.hpp>

#include "formats/formats.hpp"
#include "graph/interrupt_meter.hpp"

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

// ---- where a syntax error is reported -----------------------------------------------

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

bool is_whitespace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
bool is_digit(char c) { return c >= '0' && c <= '9'; }

// What the grammar allows next. The *_or_close states follow an opening
// bracket, where the matching close bracket may come at once.
enum class Next { value, value_or_close, key, key_or_close, colon, comma_or_close };

// may_begin: whether a token starting with the byte at `offset` could stand
// where `next` is wanted, whatever follows that byte.
bool may_begin(Next next, std::string_view text, std::size_t offset) {
  const char c = text[offset];
  switch (next) {
    case Next::value:
    case Next::value_or_close:
      // A byte-order mark may open the text.
      return std::string_view("\"-0123456789tfn").contains(c) || (offset == 0 && c == '\xEF');
    case Next::key:
    case Next::key_or_close:
      return c == '"';
    case Next::colon:
    case Next::comma_or_close:
      return false;
  }
  return false;
}

// token_end: the end of the well-formed token at `start`, read as the
// parser reads it (a number is as long as the grammar lets it be), or npos
// when no well-formed token starts there. Strings are only followed to their
// closing quote: every string before the failing token is well formed, and a
// malformed one can only end later than the byte the parser refused.
std::size_t token_end(std::string_view text, std::size_t start) {
  constexpr std::size_t npos = std::string_view::npos;
  std::size_t i = start;
  const auto digits = [&] {
    const std::size_t from = i;
    while (i < text.size() && is_digit(text[i])) ++i;
    return i > from;
  };
  const auto at = [&](char c) { return i < text.size() && text[i] == c; };
  switch (text[i]) {
    case '[':
    case ']':
    case '{':
    case '}':
    case ':':
    case ',':
      return i + 1;
    case 't':
      return text.substr(i).starts_with("true") ? i + 4 : npos;
    case 'f':
      return text.substr(i).starts_with("false") ? i + 5 : npos;
    case 'n':
      return text.substr(i).starts_with("null") ? i + 4 : npos;
    case '"':
      for (++i; i < text.size(); ++i) {
        if (text[i] == '\\') {
          ++i;
        } else if (text[i] == '"') {
          return i + 1;
        }
      }
      return npos;
    default:
      break;
  }
  if (at('-')) ++i;
  if (at('0')) {
    ++i;
  } else if (!digits()) {
    return npos;
  }
  if (at('.') && (++i, !digits())) return npos;
  if (at('e') || at('E')) {
    ++i;
    if (at('+') || at('-')) ++i;
    if (!digits()) return npos;
  }
  return i;
}

// syntax_error_end: the bytes read, as at_position counts them, when a
// reader taking one byte at a time meets the syntax error the parser
// reported after `bytes_read` bytes. The parser only complains once it holds
// a whole token, so a token that cannot stand where it is gets reported
// after its last byte; such a reader stops at its first byte instead, also
// when the token is malformed further on. Inside a token that may stand
// where it is, it stops at the byte the parser refused, as the parser does.
//
// The refused token is the first one that is malformed, not allowed where
// it stands, or not over before `bytes_read`: every token before it was
// accepted, so is well formed and ends before the refused one starts.
std::size_t syntax_error_end(std::string_view text, std::size_t bytes_read) {
  std::vector<bool> in_array;  // one entry per open bracket
  Next next = Next::value;
  std::size_t start = text.starts_with("\xEF\xBB\xBF") ? 3 : 0;
  for (;;) {
    while (start < text.size() && is_whitespace(text[start])) ++start;
    if (start >= text.size()) return start + 1;  // one past the text, as the parser counts it
    const std::size_t end = token_end(text, start);
    if (end == std::string_view::npos || end >= bytes_read) {
      return may_begin(next, text, start) ? bytes_read : start + 1;
    }
    bool allowed = false;
    switch (const char c = text[start]) {
      case '[':
      case '{':
        allowed = next == Next::value || next == Next::value_or_close;
        in_array.push_back(c == '[');
        next = c == '[' ? Next::value_or_close : Next::key_or_close;
        break;
      case ']':
      case '}': {
        const bool array = c == ']';
        allowed = (next == (array ? Next::value_or_close : Next::key_or_close) ||
                   next == Next::comma_or_close) &&
                  !in_array.empty() && in_array.back() == array;
        if (allowed) in_array.pop_back();
        next = Next::comma_or_close;
        break;
      }
      case ':':
        allowed = next == Next::colon;
        next = Next::value;
        break;
      case ',':
        allowed = next == Next::comma_or_close && !in_array.empty();
        next = !in_array.empty() && in_array.back() ? Next::value : Next::key;
        break;
      default:
        if (c == '"' && (next == Next::key || next == Next::key_or_close)) {
          allowed = true;
          next = Next::colon;
        } else {
          allowed = next == Next::value || next == Next::value_or_close;
          next = Next::comma_or_close;
        }
        break;
    }
    // A whole token that cannot stand here: a reader stops at its first byte.
    if (!allowed) return start + 1;
    start = end;
  }
}

// first_outside_strings: the offset of the first byte outside a string for
// which stop(byte) is true, else text.size(). Strings are followed by their
// quotes and backslash escapes alone: enough up to the first syntax error,
// where the text lexes cleanly.
template <class Stop>
std::size_t first_outside_strings(std::string_view text, Stop stop) {
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
    } else if (stop(c)) {
      return i;
    }
  }
  return text.size();
}

// The offset of the bracket that opens nesting level kMaxJsonDepth + 1. Only
// used once the parser has accepted the text up to that bracket.
std::size_t too_deep_offset(std::string_view text) {
  std::size_t depth = 0;
  return first_outside_strings(text, [&](char c) {
    if (c == '[' || c == '{') return ++depth > kMaxJsonDepth;
    if (c == ']' || c == '}') --depth;
    return false;
  });
}

// stray_nul: the offset of the first NUL byte outside a string, else npos.
// The parser takes a NUL for the end of the input, which would read
// '{}\0{"x":1}' as '{}'.
std::size_t stray_nul(std::string_view text) {
  if (std::memchr(text.data(), '\0', text.size()) == nullptr) return std::string_view::npos;
  const std::size_t at = first_outside_strings(text, [](char c) { return c == '\0'; });
  return at == text.size() ? std::string_view::npos : at;
}

// ---- what the parse keeps ---------------------------------------------------------

// Names: strings one after another in one buffer.
class Names {
 public:
  void clear() {
    bytes_.clear();
    ends_.clear();
  }
  void push_back(std::string_view s) {
    bytes_.append(s);
    ends_.push_back(bytes_.size());
  }
  std::size_t size() const { return ends_.size(); }
  std::string_view operator[](std::size_t i) const {
    const std::size_t begin = i == 0 ? 0 : ends_[i - 1];
    return std::string_view(bytes_).substr(begin, ends_[i] - begin);
  }

 private:
  std::string bytes_;
  std::vector<std::size_t> ends_;
};

// A member's last value: absent, not an array, or an array whose entries are
// kept up to the first unusable one (the build stops there).
enum class Shape { absent, not_array, array };

struct NodeList {
  Shape shape = Shape::absent;
  Names names;
  bool bad_entry = false;  // an entry that is not a string follows `names`
};

// The shape of one edge array: its member name, the noun of its messages
// and the keys of its two ends.
struct EdgeShape {
  const char* member;
  const char* noun;
  const char* first;
  const char* second;
};

struct EdgeList {
  Shape shape = Shape::absent;
  Names ends;       // two per entry: first, second
  int missing = -1;  // after `ends`, an entry without a string end: 0 first, 1 second
};

// Collector: the SAX handler. Level counts the open brackets: the top-level
// value comes at level 0, its members' values at 1, the entries of a member
// array at 2 and the ends of an edge at 3; deeper values only count for the
// nesting limit. Every value and key counts on an interrupt meter: a large
// document takes seconds to parse.
class Collector {
 public:
  explicit Collector(std::span<const EdgeShape> shapes) : shapes_(shapes), edges_(shapes.size()) {}

  bool null() { return tick() && scalar(); }
  bool boolean(bool) { return tick() && scalar(); }
  bool number_integer(json::number_integer_t) { return tick() && scalar(); }
  bool number_unsigned(json::number_unsigned_t) { return tick() && scalar(); }
  bool number_float(json::number_float_t, const json::string_t&) { return tick() && scalar(); }
  bool binary(json::binary_t&) { return tick() && scalar(); }
  bool string(json::string_t& s) {
    if (!tick()) return false;
    value(Kind::string, s);
    return true;
  }
  bool key(json::string_t& k) {
    if (!tick()) return false;
    if (level_ == 1) {
      member_ = kNone;
      if (k == "nodes") member_ = kNodes;
      for (std::size_t i = 0; i < shapes_.size(); ++i) {
        if (k == shapes_[i].member) member_ = static_cast<int>(i);
      }
    } else if (level_ == 3 && entry_open_) {
      const EdgeShape& shape = shapes_[static_cast<std::size_t>(list_)];
      end_ = k == shape.first ? 0 : k == shape.second ? 1 : -1;
    }
    return true;
  }
  bool start_object(std::size_t) { return tick() && enter(Kind::object); }
  bool start_array(std::size_t) { return tick() && enter(Kind::array); }
  bool end_object() {
    if (--level_ == 2 && entry_open_) close_entry();
    return true;
  }
  bool end_array() {
    if (--level_ == 1) list_ = kNone;
    return true;
  }
  bool parse_error(std::size_t bytes_read, const std::string& last_read,
                   const json::exception& e) {
    error_ = describe(e.what());
    last_read_ = last_read;
    bytes_read_ = bytes_read;
    syntax_ = dynamic_cast<const json::parse_error*>(&e) != nullptr;
    return false;
  }

  // What the parse left: see the members below.
  bool interrupted() const { return interrupted_; }
  bool too_deep() const { return too_deep_; }
  bool top_is_object() const { return top_is_object_; }
  const NodeList& nodes() const { return nodes_; }
  const EdgeList& edges(std::size_t i) const { return edges_[i]; }

  // failure: the message for a parse that stopped on an error in `text`.
  // `nul` is where a NUL byte the parser saw as 0x01 stands, else npos.
  std::string failure(std::string_view text, std::size_t nul) const {
    if (too_deep_) {
      return "malformed JSON: nesting deeper than " + std::to_string(kMaxJsonDepth) + " levels" +
             at_position(text, too_deep_offset(text) + 1);
    }
    std::string message = "malformed JSON: " + error_;
    // The stand-in was the last byte read: quote it back as the NUL it was.
    if (nul != std::string_view::npos && bytes_read_ == nul + 1 &&
        last_read_.ends_with("<U+0001>")) {
      const std::string quoted = "last read: '" + last_read_ + "'";
      if (const std::size_t p = message.rfind(quoted); p != std::string::npos) {
        message.replace(p + quoted.size() - 9, 8, "<U+0000>");
      }
    }
    // A syntax error is placed where a byte-at-a-time reader stops; any other
    // (a number out of range) where the parser found it, after the number.
    return message +
           at_position(text, syntax_ ? syntax_error_end(text, bytes_read_) : bytes_read_);
  }

 private:
  enum class Kind { scalar, string, object, array };
  static constexpr int kNone = -2, kNodes = -1;

  bool scalar() {
    value(Kind::scalar, {});
    return true;
  }

  bool enter(Kind kind) {
    if (level_ == kMaxJsonDepth) {
      too_deep_ = true;
      return false;
    }
    value(kind, {});
    ++level_;
    return true;
  }

  // value: a value starts at the current level.
  void value(Kind kind, std::string_view s) {
    switch (level_) {
      case 0:
        top_is_object_ = kind == Kind::object;
        break;
      case 1:  // a member's value replaces any earlier one of the same name
        if (member_ == kNone) break;
        if (member_ == kNodes) {
          nodes_.names.clear();
          nodes_.bad_entry = false;
          nodes_.shape = kind == Kind::array ? Shape::array : Shape::not_array;
        } else {
          EdgeList& list = edges_[static_cast<std::size_t>(member_)];
          list.ends.clear();
          list.missing = -1;
          list.shape = kind == Kind::array ? Shape::array : Shape::not_array;
        }
        if (kind == Kind::array) list_ = member_;
        break;
      case 2:  // an entry of the array being kept
        if (list_ == kNodes) {
          if (nodes_.bad_entry) break;
          if (kind == Kind::string) {
            nodes_.names.push_back(s);
          } else {
            nodes_.bad_entry = true;
          }
        } else if (list_ != kNone && edges_[static_cast<std::size_t>(list_)].missing < 0) {
          if (kind == Kind::object) {
            entry_open_ = true;
            has_[0] = has_[1] = false;
            end_ = -1;
          } else {
            edges_[static_cast<std::size_t>(list_)].missing = 0;
          }
        }
        break;
      case 3:  // an edge's member: the last value of each end counts
        if (entry_open_ && end_ >= 0) {
          has_[end_] = kind == Kind::string;
          if (has_[end_]) end_text_[end_].assign(s);
        }
        break;
      default:
        break;
    }
  }

  void close_entry() {
    entry_open_ = false;
    EdgeList& list = edges_[static_cast<std::size_t>(list_)];
    if (!has_[0] || !has_[1]) {
      list.missing = has_[0] ? 1 : 0;
      return;
    }
    list.ends.push_back(end_text_[0]);
    list.ends.push_back(end_text_[1]);
  }

  bool tick() {
    if (meter_.spend(1)) return true;
    interrupted_ = true;
    return false;
  }

  std::span<const EdgeShape> shapes_;
  std::size_t level_ = 0;
  int member_ = kNone;  // the member whose value comes next at level 1
  int list_ = kNone;    // the member array whose entries come at level 2
  bool top_is_object_ = false;
  NodeList nodes_;
  std::vector<EdgeList> edges_;  // one per shape
  // The edge entry open at level 2: which end its current member sets, and
  // the ends so far.
  bool entry_open_ = false;
  int end_ = -1;
  bool has_[2] = {false, false};
  std::string end_text_[2];

  std::string error_;
  std::string last_read_;
  std::size_t bytes_read_ = 0;
  bool syntax_ = false;
  bool too_deep_ = false;
  bool interrupted_ = false;
  InterruptMeter meter_;
};

// collect: parses the text, which must hold an object, into `c`.
Status collect(std::string_view text, Collector& c) {
  const std::size_t nul = stray_nul(text);
  bool ok = false;
  if (nul == std::string_view::npos) {
    ok = json::sax_parse(text.begin(), text.end(), &c);
  } else {
    // Up to the NUL, with a byte the parser refuses wherever the NUL is
    // refused: the parse stops there at the latest.
    std::string head(text.substr(0, nul));
    head += '\x01';
    ok = json::sax_parse(head.begin(), head.end(), &c);
  }
  if (!ok) {
    if (c.interrupted()) return std::unexpected(AsvError::interrupted().message());
    return std::unexpected(c.failure(text, nul));
  }
  if (!c.top_is_object()) return malformed("the top-level value must be an object");
  return {};
}

// ---- building the graph -------------------------------------------------------------

template <class Graph>
Status read_nodes(const NodeList& nodes, Graph& g) {
  if (nodes.shape == Shape::absent) return {};
  if (nodes.shape == Shape::not_array) return malformed("\"nodes\" must be an array");
  const Names& names = nodes.names;
  if constexpr (requires { g.reserve(std::size_t{0}); }) g.reserve(names.size());
  // Hashed ahead with prefetching (for_each_hashed): a big graph's index
  // misses the cache on nearly every name.
  InterruptMeter meter;
  const bool done = for_each_hashed(
      g.name_index(), names.size(), [&](std::size_t i) { return names[i]; },
      [&](std::size_t i, std::uint64_t hash) {
        if (!meter.spend(1)) return false;
        g.add_node(names[i], hash);
        return true;
      });
  if (!done || (nodes.bad_entry && !meter.spend(1))) {
    return std::unexpected(AsvError::interrupted().message());
  }
  if (nodes.bad_entry) return malformed("\"nodes\" entries must be strings");
  return {};
}

// read_edges: every entry of the list, in order, through insert(first id,
// second id), after adding the ends' nodes first to last. All ends are
// looked up first: a graph that can (Dag) then gets each adjacency list
// sized once instead of regrown edge by edge.
template <class Graph, class Insert>
Status read_edges(const EdgeList& edges, const EdgeShape& shape, Graph& g, Insert insert) {
  if (edges.shape == Shape::absent) return {};
  if (edges.shape == Shape::not_array) return malformed("\"", shape.member, "\" must be an array");
  InterruptMeter meter;
  const Names& ends = edges.ends;
  std::vector<NodeId> ids(ends.size());
  const bool added = for_each_hashed(
      g.name_index(), ends.size(), [&](std::size_t j) { return ends[j]; },
      [&](std::size_t j, std::uint64_t hash) {
        if (j % 2 == 0 && !meter.spend(1)) return false;
        ids[j] = g.add_node(ends[j], hash);
        return true;
      });
  if (!added) return std::unexpected(AsvError::interrupted().message());
  if constexpr (requires { g.reserve_edges(NodeId{0}, std::size_t{0}, std::size_t{0}); }) {
    std::vector<std::uint32_t> out(g.n_nodes(), 0), in(g.n_nodes(), 0);
    for (std::size_t j = 0; j < ids.size(); j += 2) {
      ++out[ids[j]];
      ++in[ids[j + 1]];
    }
    for (NodeId v = 0; v < g.n_nodes(); ++v) {
      if (out[v] + in[v] > 0) g.reserve_edges(v, out[v], in[v]);
    }
  }
  for (std::size_t j = 0; j < ids.size(); j += 2) {
    if (!meter.spend(1)) return std::unexpected(AsvError::interrupted().message());
    if (Result<void> r = insert(ids[j], ids[j + 1]); !r) return std::unexpected(r.error().message());
  }
  if (edges.missing >= 0) {
    if (!meter.spend(1)) return std::unexpected(AsvError::interrupted().message());
    return malformed(shape.noun, " missing string \"",
                     edges.missing == 0 ? shape.first : shape.second, "\"");
  }
  return {};
}

constexpr EdgeShape kDagEdges[] = {{"edges", "edge", "from", "to"}};
constexpr EdgeShape kCpdagEdges[] = {{"directed_edges", "directed edge", "from", "to"},
                                     {"undirected_edges", "undirected edge", "a", "b"}};

}  // namespace

ReadResult<Dag> dag_from_json(std::string_view text) {
  Collector c(kDagEdges);
  Status ok = collect(text, c);
  Dag g;
  const auto add = [&](NodeId a, NodeId b) { return g.add_edge(a, b); };
  if (ok) ok = read_nodes(c.nodes(), g);
  if (ok) ok = read_edges(c.edges(0), kDagEdges[0], g, add);
  if (!ok) return std::unexpected(ok.error());
  return g;
}

ReadResult<Cpdag> cpdag_from_json(std::string_view text) {
  Collector c(kCpdagEdges);
  Status ok = collect(text, c);
  Cpdag g;
  const auto directed = [&](NodeId a, NodeId b) { return g.add_directed_edge(a, b); };
  const auto undirected = [&](NodeId a, NodeId b) { return g.add_undirected_edge(a, b); };
  if (ok) ok = read_nodes(c.nodes(), g);
  if (ok) ok = read_edges(c.edges(0), kCpdagEdges[0], g, directed);
  if (ok) ok = read_edges(c.edges(1), kCpdagEdges[1], g, undirected);
  if (!ok) return std::unexpected(ok.error());
  return g;
}

}  // namespace morvend

#include <algorithm>
#include <optional>
#include <type_traits>
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

// Hands the text to the lexer one byte at a time. The lexer takes a NUL byte
// for the end of the input, which would read '{}\0{"x":1}' as '{}'; so a NUL
// outside a string is handed over as a value no byte has, which the lexer
// refuses like any other stray character and quotes back as <U+0000>. Inside
// a string a NUL is left alone: the lexer refuses it as a control character.
// Strings are followed as the lexer reads them; up to the first error the
// text lexes cleanly, so both agree on where strings start and end.
class TextInput {
 public:
  using char_type = char;
  using int_type = std::char_traits<char>::int_type;

  explicit TextInput(std::string_view text) : text_(text) {}

  int_type get_character() {
    if (next_ == text_.size()) return std::char_traits<char>::eof();
    const char c = text_[next_++];
    if (in_string_) {
      if (escaped_) {
        escaped_ = false;
      } else if (c == '\\') {
        escaped_ = true;
      } else if (c == '"') {
        in_string_ = false;
      }
    } else if (c == '"') {
      in_string_ = true;
    } else if (c == '\0') {
      return kStrayNul;
    }
    return std::char_traits<char>::to_int_type(c);
  }

 private:
  // Neither a byte nor eof(); converts back to the char '\0'.
  static constexpr int_type kStrayNul = 0x100;
  static_assert(kStrayNul != std::char_traits<char>::eof());

  std::string_view text_;
  std::size_t next_ = 0;
  bool in_string_ = false;
  bool escaped_ = false;
};

using Lexer = nlohmann::detail::lexer<json, TextInput>;
using Token = Lexer::token_type;

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

bool is_scalar(Token t) {
  switch (t) {
    case Token::value_string:
    case Token::value_unsigned:
    case Token::value_integer:
    case Token::value_float:
    case Token::literal_true:
    case Token::literal_false:
    case Token::literal_null:
      return true;
    default:
      return false;
  }
}

// syntax_error_end: the bytes read, as at_position counts them, when a
// reader taking one byte at a time meets the first syntax error; npos for
// none. The parser only complains once it holds a whole token, so a token
// that cannot stand where it is gets reported after its last byte; such a
// reader stops at its first byte instead, also when the token is malformed
// further on. Inside a token that may stand where it is, it stops at the
// byte the lexer refused, as the parser does.
std::size_t syntax_error_end(std::string_view text) {
  Lexer lexer{TextInput(text)};
  std::vector<bool> in_array;  // one entry per open bracket
  Next next = Next::value;
  std::size_t end = 0;  // just past the last token read
  for (;;) {
    std::size_t start = end;
    if (start == 0 && text.starts_with("\xEF\xBB\xBF")) start = 3;
    while (start < text.size() && std::string_view(" \t\n\r").contains(text[start])) ++start;
    const Token token = lexer.scan();
    end = lexer.get_position().chars_read_total;

    bool allowed = false;
    switch (token) {
      case Token::parse_error:
        return may_begin(next, text, start) ? end : start + 1;
      case Token::end_of_input:
        if (next == Next::comma_or_close && in_array.empty()) return std::string_view::npos;
        return start + 1;  // one past the text, as the lexer counts it
      case Token::begin_array:
      case Token::begin_object:
        allowed = next == Next::value || next == Next::value_or_close;
        in_array.push_back(token == Token::begin_array);
        next = token == Token::begin_array ? Next::value_or_close : Next::key_or_close;
        break;
      case Token::end_array:
      case Token::end_object: {
        const bool array = token == Token::end_array;
        allowed = (next == (array ? Next::value_or_close : Next::key_or_close) ||
                   next == Next::comma_or_close) &&
                  !in_array.empty() && in_array.back() == array;
        if (allowed) in_array.pop_back();
        next = Next::comma_or_close;
        break;
      }
      case Token::name_separator:
        allowed = next == Next::colon;
        next = Next::value;
        break;
      case Token::value_separator:
        allowed = next == Next::comma_or_close && !in_array.empty();
        next = !in_array.empty() && in_array.back() ? Next::value : Next::key;
        break;
      default:
        if (token == Token::value_string && (next == Next::key || next == Next::key_or_close)) {
          allowed = true;
          next = Next::colon;
        } else {
          allowed = is_scalar(token) && (next == Next::value || next == Next::value_or_close);
          next = Next::comma_or_close;
        }
        break;
    }
    if (!allowed) return start + 1;
  }
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
// Every value and key counts on an interrupt meter: a large document takes
// seconds to parse.
class DepthLimitedBuilder : public nlohmann::detail::json_sax_dom_parser<json> {
  using Base = nlohmann::detail::json_sax_dom_parser<json>;

 public:
  explicit DepthLimitedBuilder(json& root) : Base(root, /*allow_exceptions_=*/false) {}

  bool null() { return tick() && Base::null(); }
  bool boolean(bool v) { return tick() && Base::boolean(v); }
  bool number_integer(number_integer_t v) { return tick() && Base::number_integer(v); }
  bool number_unsigned(number_unsigned_t v) { return tick() && Base::number_unsigned(v); }
  bool number_float(number_float_t v, const string_t& s) {
    return tick() && Base::number_float(v, s);
  }
  bool string(string_t& v) { return tick() && Base::string(v); }
  bool key(string_t& v) { return tick() && Base::key(v); }
  bool start_object(std::size_t len) { return tick() && enter() && Base::start_object(len); }
  bool start_array(std::size_t len) { return tick() && enter() && Base::start_array(len); }
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
    syntax_ = std::is_same_v<Exception, nlohmann::detail::parse_error>;
    return false;
  }

  // interrupted: whether the parse stopped because it was asked to.
  bool interrupted() const { return interrupted_; }

  // failure: the message for a parse that stopped, given the parsed text.
  // A syntax error is placed where a byte-at-a-time reader stops; any other
  // (a number out of range) where the parser found it, after the number.
  std::string failure(std::string_view text) const {
    if (error_) {
      // The reader never stops later than the parser's own report.
      const std::size_t at = syntax_ ? std::min(bytes_read_, syntax_error_end(text)) : bytes_read_;
      return "malformed JSON: " + *error_ + at_position(text, at);
    }
    return "malformed JSON: nesting deeper than " + std::to_string(kMaxJsonDepth) + " levels" +
           at_position(text, too_deep_offset(text) + 1);
  }

 private:
  bool enter() {
    if (depth_ == kMaxJsonDepth) return false;
    ++depth_;
    return true;
  }

  bool tick() {
    if (meter.spend(1)) return true;
    interrupted_ = true;
    return false;
  }

  std::size_t depth_ = 0;
  std::optional<std::string> error_;
  std::size_t bytes_read_ = 0;
  bool syntax_ = false;
  InterruptMeter meter;
  bool interrupted_ = false;
};

// parse: the document, which must be an object.
[[nodiscard]] ReadResult<json> parse(std::string_view text) {
  json doc;
  DepthLimitedBuilder builder(doc);
  nlohmann::detail::parser<json, TextInput> parser{TextInput(text)};
  if (!parser.sax_parse(&builder, /*strict=*/true)) {
    if (builder.interrupted()) return std::unexpected(AsvError::interrupted().message());
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

// text_of: the text of a string value, else nothing (a hint's worth only).
std::string_view text_of(const json& value) {
  return value.is_string() ? std::string_view(value.get_ref<const std::string&>())
                           : std::string_view();
}

template <class Graph>
Status read_nodes(const json& doc, Graph& g) {
  InterruptMeter meter;
  const json* nodes = member(doc, "nodes");
  if (nodes == nullptr) return {};
  if (!nodes->is_array()) return malformed("\"nodes\" must be an array");
  if constexpr (requires { g.reserve(std::size_t{0}); }) g.reserve(nodes->size());
  // Hashed ahead with prefetching (for_each_hashed): a big graph's index
  // misses the cache on nearly every name.
  const auto& entries = nodes->template get_ref<const json::array_t&>();
  Status status;
  for_each_hashed(
      g.name_index(), entries.size(), [&](std::size_t i) { return text_of(entries[i]); },
      [&](std::size_t i, std::uint64_t hash) {
        if (!meter.spend(1)) {
          status = std::unexpected(AsvError::interrupted().message());
        } else if (!entries[i].is_string()) {
          status = malformed("\"nodes\" entries must be strings");
        } else {
          g.add_node(entries[i].template get_ref<const std::string&>(), hash);
        }
        return status.has_value();
      });
  return status;
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
  InterruptMeter meter;
  const auto& entries = edges->template get_ref<const json::array_t&>();
  // end_of: end k of entry i when it is a string. Ends are hashed ahead
  // (for_each_hashed), two per entry; an entry is checked whole when its
  // first end comes up, before either node is added.
  const auto end_of = [&](std::size_t i, int k) -> const json* {
    const json& entry = entries[i];
    const json* end = entry.is_object() ? member(entry, k == 0 ? shape.first : shape.second)
                                        : nullptr;
    return end != nullptr && end->is_string() ? end : nullptr;
  };
  Status status;
  NodeId ids[2];
  for_each_hashed(
      g.name_index(), 2 * entries.size(),
      [&](std::size_t j) {
        const json* end = end_of(j / 2, static_cast<int>(j % 2));
        return end != nullptr ? text_of(*end) : std::string_view();
      },
      [&](std::size_t j, std::uint64_t hash) {
        const std::size_t i = j / 2;
        const int k = static_cast<int>(j % 2);
        if (k == 0) {
          if (!meter.spend(1)) {
            status = std::unexpected(AsvError::interrupted().message());
            return false;
          }
          for (int e = 0; e < 2; ++e) {
            if (end_of(i, e) == nullptr) {
              status = malformed(shape.noun, " missing string \"",
                                 e == 0 ? shape.first : shape.second, "\"");
              return false;
            }
          }
        }
        ids[k] = g.add_node(end_of(i, k)->template get_ref<const std::string&>(), hash);
        if (k == 1) {
          if (Result<void> r = insert(ids[0], ids[1]); !r) {
            status = std::unexpected(r.error().message());
            return false;
          }
        }
        return true;
      });
  return status;
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

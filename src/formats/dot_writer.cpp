#include <algorithm>
#include <array>
#include <vector>

#include "formats/formats.hpp"

namespace morvend {
namespace {

bool is_digit(unsigned char c) { return c >= '0' && c <= '9'; }

bool is_id_char(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || is_digit(c) || c >= 0x80;
}

bool is_keyword(std::string_view s) {
  static constexpr std::array<std::string_view, 6> kKeywords = {"node",    "edge",     "graph",
                                                                "digraph", "subgraph", "strict"};
  return std::ranges::any_of(kKeywords, [&](std::string_view k) {
    return std::ranges::equal(s, k, [](unsigned char a, unsigned char b) {
      return (a >= 'A' && a <= 'Z' ? a - 'A' + 'a' : a) == b;
    });
  });
}

// A DOT identifier: letters, digits, '_' and non-ASCII bytes, not starting
// with a digit, and not a keyword in any case.
bool is_plain_identifier(std::string_view s) {
  return !s.empty() && !is_digit(s[0]) && std::ranges::all_of(s, is_id_char) && !is_keyword(s);
}

// A DOT numeral: [-]?(.[0-9]+ | [0-9]+(.[0-9]*)?).
bool is_numeral(std::string_view s) {
  std::size_t i = !s.empty() && s[0] == '-' ? 1 : 0;
  const auto digits = [&] {
    const std::size_t start = i;
    while (i < s.size() && is_digit(s[i])) ++i;
    return i - start;
  };
  const std::size_t whole = digits();
  std::size_t fraction = 0;
  if (i < s.size() && s[i] == '.') {
    ++i;
    fraction = digits();
  }
  return i == s.size() && (whole > 0 || fraction > 0);
}

// append_id: the name as a DOT ID.
void append_id(std::string& out, std::string_view name) {
  if (is_plain_identifier(name) || is_numeral(name)) {
    out += name;
    return;
  }
  out += '"';
  for (char c : name) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  out += '"';
}

}  // namespace

std::string to_dot(const Dag& g) {
  // Each name's ID is worked out once, not once per edge it ends, and the
  // text is sized beforehand: both cost more than the writing on big graphs.
  const std::size_t n = g.n_nodes();
  std::string ids;
  std::vector<std::size_t> ends(n + 1, 0);
  std::size_t size = 11;  // "digraph {\n" and "}"
  for (NodeId u = 0; u < n; ++u) {
    append_id(ids, g.name(u));
    ends[u + 1] = ids.size();
    const std::size_t length = ends[u + 1] - ends[u];
    size += g.children(u).size() * (length + 8) + g.parents(u).size() * length;
  }
  const auto id = [&](NodeId v) {
    return std::string_view(ids).substr(ends[v], ends[v + 1] - ends[v]);
  };
  std::string out;
  out.reserve(size);
  out += "digraph {\n";
  for (NodeId u = 0; u < n; ++u) {
    const std::string_view tail = id(u);
    for (NodeId v : g.children(u)) {
      out += "  ";
      out += tail;
      out += " -> ";
      out += id(v);
      out += ";\n";
    }
  }
  out += '}';
  return out;
}

}  // namespace morvend

#include <algorithm>
#include <array>

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
  std::string out = "digraph {\n";
  for (NodeId u = 0; u < g.n_nodes(); ++u) {
    for (NodeId v : g.children(u)) {
      out += "  ";
      append_id(out, g.name(u));
      out += " -> ";
      append_id(out, g.name(v));
      out += ";\n";
    }
  }
  out += '}';
  return out;
}

}  // namespace morvend

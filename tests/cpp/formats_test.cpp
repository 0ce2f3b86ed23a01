#include "formats/formats.hpp"

#include <atomic>
#include <random>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "common/graphs.hpp"
#include "common/interrupts.hpp"
#include "formats/repr_text.hpp"
#include "formats/snapshot.hpp"

namespace morvend {
namespace {

using Ids = std::vector<NodeId>;
using testing::make_cpdag;
using testing::make_dag;

template <class Span>
Ids ids(Span s) {
  return Ids(s.begin(), s.end());
}

template <class T>
std::string error_of(const ReadResult<T>& r) {
  return r ? std::string("<ok>") : r.error();
}

std::string dag_error(std::string_view text) { return error_of(dag_from_json(text)); }
std::string cpdag_error(std::string_view text) { return error_of(cpdag_from_json(text)); }

// The document fixes ids and children orders; parent and undirected-neighbour
// lists come back in the order the document lists the edges, so the second
// writing must give the same text.
void expect_same(const Dag& a, const Dag& b) {
  ASSERT_EQ(a.names(), b.names());
  for (NodeId v = 0; v < a.n_nodes(); ++v) EXPECT_EQ(ids(a.children(v)), ids(b.children(v)));
  EXPECT_EQ(to_json(a), to_json(b));
}

void expect_same(const Cpdag& a, const Cpdag& b) {
  ASSERT_EQ(a.names(), b.names());
  for (NodeId v = 0; v < a.n_nodes(); ++v) {
    EXPECT_EQ(ids(a.directed_children(v)), ids(b.directed_children(v)));
  }
  EXPECT_EQ(a.n_undirected_edges(), b.n_undirected_edges());
  EXPECT_EQ(to_json(a), to_json(b));
}

// Names that stress the escaping: quotes, backslashes, every control
// character, DEL, '/', non-ASCII, NUL and the empty string.
std::vector<std::string> awkward_names() {
  std::vector<std::string> names = {
      "",    "q\"uote",  "back\\slash", "a/b", "\x7f", "日本語", std::string("nul\0x", 5),
      "a b", "x -> y; z"};
  for (char c = 1; c < 0x20; ++c) names.push_back(std::string{'c', c});
  return names;
}

// Catches key order, whitespace or escaping drifting from the one byte form.
TEST(JsonWriter, ExactBytes) {
  Dag g;
  const NodeId x = g.add_node("x"), y = g.add_node("y"), z = g.add_node("z");
  ASSERT_TRUE(g.add_edge(x, y) && g.add_edge(x, z));
  g.add_node("iso");
  EXPECT_EQ(
      to_json(g),
      R"({"edges":[{"from":"x","to":"y"},{"from":"x","to":"z"}],"nodes":["x","y","z","iso"]})");
  EXPECT_EQ(to_json(Dag()), R"({"edges":[],"nodes":[]})");
  Dag esc;
  esc.add_node(std::string("\"\\/\b\f\n\r\t\x01\x1f\x7f\xc3\xa9", 13));
  esc.add_node(std::string("\0", 1));
  EXPECT_EQ(to_json(esc), R"({"edges":[],"nodes":["\"\\/\b\f\n\r\t\u0001\u001f)"
                          "\x7f\xc3\xa9"
                          R"(","\u0000"]})");
  // b - a is listed once, from the smaller id, after the directed edges.
  const Cpdag c = make_cpdag(3, {{2, 0}}, {{1, 0}, {1, 2}});
  EXPECT_EQ(to_json(c), R"({"directed_edges":[{"from":"2","to":"0"}],"nodes":["0","1","2"],)"
                        R"("undirected_edges":[{"a":"0","b":"1"},{"a":"1","b":"2"}]})");
  EXPECT_EQ(to_json(Cpdag()), R"({"directed_edges":[],"nodes":[],"undirected_edges":[]})");
}

// The documents as trees dumped by the library: the byte form to match.
std::string tree_dump(const Dag& g) {
  nlohmann::json edges = nlohmann::json::array();
  for (NodeId u = 0; u < g.n_nodes(); ++u) {
    for (NodeId v : g.children(u)) edges.push_back({{"from", g.name(u)}, {"to", g.name(v)}});
  }
  return nlohmann::json{{"nodes", g.names()}, {"edges", edges}}.dump();
}

std::string tree_dump(const Cpdag& g) {
  nlohmann::json directed = nlohmann::json::array(), undirected = nlohmann::json::array();
  for (NodeId u = 0; u < g.n_nodes(); ++u) {
    for (NodeId v : g.directed_children(u)) {
      directed.push_back({{"from", g.name(u)}, {"to", g.name(v)}});
    }
    for (NodeId v : g.undirected_neighbours(u)) {
      if (u < v) undirected.push_back({{"a", g.name(u)}, {"b", g.name(v)}});
    }
  }
  return nlohmann::json{
      {"undirected_edges", undirected}, {"nodes", g.names()}, {"directed_edges", directed}}
      .dump();
}

// Catches the writer's layout drifting from a compact dump of the document
// tree (key order, separators, escaping).
TEST(JsonWriter, MatchesATreeDump) {
  const auto names = awkward_names();
  for (std::uint64_t seed = 0; seed < 20; ++seed) {
    const Dag shape = testing::random_dag(names.size(), 0.2, seed);
    Dag g;
    for (const std::string& name : names) g.add_node(name);
    for (NodeId u = 0; u < shape.n_nodes(); ++u) {
      for (NodeId v : shape.children(u)) ASSERT_TRUE(g.add_edge(u, v));
    }
    EXPECT_EQ(to_json(g), tree_dump(g));
    const Cpdag c = testing::random_pdag(10, 0.4, 0.5, seed);
    EXPECT_EQ(to_json(c), tree_dump(c));
  }
  EXPECT_EQ(to_json(Dag()), tree_dump(Dag()));
  EXPECT_EQ(to_json(Cpdag()), tree_dump(Cpdag()));
}

// Catches lost nodes, reordered ids or adjacency, and escaping that does not
// survive the reader.
TEST(JsonRoundTrip, RebuildsIdsAndAdjacencyOrders) {
  const auto names = awkward_names();
  std::mt19937_64 gen(3);
  for (std::uint64_t seed = 0; seed < 30; ++seed) {
    const Dag shape = testing::random_dag(names.size(), 0.2, seed);
    std::vector<std::size_t> perm(names.size());
    for (std::size_t i = 0; i < perm.size(); ++i) perm[i] = i;
    std::shuffle(perm.begin(), perm.end(), gen);
    Dag g;
    for (std::size_t i = 0; i < names.size(); ++i) g.add_node(names[perm[i]]);
    for (NodeId u = 0; u < shape.n_nodes(); ++u) {
      for (NodeId v : shape.children(u)) ASSERT_TRUE(g.add_edge(v, u));  // reversed: any order
    }
    const ReadResult<Dag> back = dag_from_json(to_json(g));
    ASSERT_TRUE(back.has_value()) << back.error();
    expect_same(g, *back);

    const Cpdag pdag = testing::random_pdag(12, 0.3, 0.5, seed);
    const ReadResult<Cpdag> pback = cpdag_from_json(to_json(pdag));
    ASSERT_TRUE(pback.has_value()) << pback.error();
    expect_same(pdag, *pback);
  }
}

// Catches a reader tied to the writer's layout: any whitespace, member
// order, unknown members and repeated keys (the last one counts).
TEST(JsonReader, AcceptsAnyLayoutOfTheShape) {
  const Dag g = dag_from_json(
                    " {\n \"edges\" : [ {\"to\": \"b\", \"w\": 1, \"from\": \"a\"} ] ,\t"
                    "\"extra\": {\"nodes\": 5}, \"nodes\": [\"c\", \"b\", \"c\"] }\r\n")
                    .value();
  EXPECT_EQ(g.names(), (std::vector<std::string>{"c", "b", "a"}));  // nodes first, then edges
  EXPECT_EQ(ids(g.children(2)), (Ids{1}));
  const Dag last = dag_from_json(R"({"nodes":["x"],"nodes":["y"]})").value();
  EXPECT_EQ(last.names(), (std::vector<std::string>{"y"}));
  EXPECT_EQ(dag_from_json("{}").value().n_nodes(), 0u);
  // Cycles are read, not validated.
  EXPECT_EQ(
      dag_from_json(R"({"edges":[{"from":"a","to":"b"},{"from":"b","to":"a"}]})").value().n_edges(),
      2u);
  const Cpdag c =
      cpdag_from_json(
          R"({"undirected_edges":[{"b":"y","a":"x"}],"directed_edges":[{"from":"y","to":"z"}]})")
          .value();
  EXPECT_EQ(c.names(), (std::vector<std::string>{"y", "z", "x"}));  // directed before undirected
  EXPECT_EQ(ids(c.undirected_neighbours(2)), (Ids{0}));
}

// Catches a streaming reader that keeps a member's first value instead of
// its last, takes keys of nested objects for the graph's, or checks entries
// out of order: the result (written back) or the message for each text.
TEST(JsonReader, LastValueOfEachMemberAndEnd) {
  const std::pair<std::string_view, std::string_view> cases[] = {
      {R"({"edges":[{"from":{"x":1},"from":"a","to":"b"}]})",
       R"({"edges":[{"from":"a","to":"b"}],"nodes":["a","b"]})"},
      {R"({"edges":[{"from":"a","to":"b","to":null}]})",
       R"(malformed JSON: edge missing string "to")"},
      {R"({"edges":[{"from":"a","to":"b","w":{"from":"c","to":"d"}}]})",
       R"({"edges":[{"from":"a","to":"b"}],"nodes":["a","b"]})"},
      {R"({"edges":5,"edges":[{"from":"a","to":"b"}],"nodes":["b"]})",
       R"({"edges":[{"from":"a","to":"b"}],"nodes":["b","a"]})"},
      {R"({"edges":[{"from":"a","to":"b"}],"edges":{}})",
       R"(malformed JSON: "edges" must be an array)"},
      {R"({"nodes":["a",1],"nodes":["b"]})", R"({"edges":[],"nodes":["b"]})"},
      {R"({"x":{"nodes":[1],"edges":3},"nodes":["a"]})", R"({"edges":[],"nodes":["a"]})"},
      {R"({"nodes":["a",["b"],"c"]})", R"(malformed JSON: "nodes" entries must be strings)"},
      {R"({"edges":[[],{"from":"a","to":"b"}]})", R"(malformed JSON: edge missing string "from")"},
      {R"({"edges":[{"from":"a","to":"a"},{"to":"x"}]})", "self-loop on node NodeId(0)"},
      {R"({"edges":[{"to":"x"},{"from":"a","to":"a"}]})",
       R"(malformed JSON: edge missing string "from")"},
      {R"([{"nodes":["a"]}])", "malformed JSON: the top-level value must be an object"},
  };
  for (const auto& [text, want] : cases) {
    const ReadResult<Dag> g = dag_from_json(text);
    EXPECT_EQ(g ? to_json(*g) : g.error(), want) << text;
  }
  const ReadResult<Cpdag> c = cpdag_from_json(
      R"({"undirected_edges":[{"a":"x","b":"y","a":"z"}],"directed_edges":[{"from":"y","to":"w"}]})");
  ASSERT_TRUE(c.has_value());
  EXPECT_EQ(to_json(*c),
            R"({"directed_edges":[{"from":"y","to":"w"}],"nodes":["y","w","z"],)"
            R"("undirected_edges":[{"a":"y","b":"z"}]})");
}

// Catches a wrong message or a wrong order of the shape checks.
TEST(JsonReader, ShapeMessagesInOrder) {
  EXPECT_EQ(dag_error("[]"), "malformed JSON: the top-level value must be an object");
  EXPECT_EQ(dag_error("3"), "malformed JSON: the top-level value must be an object");
  EXPECT_EQ(dag_error("null"), "malformed JSON: the top-level value must be an object");
  EXPECT_EQ(cpdag_error("\"s\""), "malformed JSON: the top-level value must be an object");
  EXPECT_EQ(dag_error(R"({"nodes":null})"), R"(malformed JSON: "nodes" must be an array)");
  EXPECT_EQ(dag_error(R"({"nodes":["a",1]})"),
            R"(malformed JSON: "nodes" entries must be strings)");
  EXPECT_EQ(dag_error(R"({"edges":{}})"), R"(malformed JSON: "edges" must be an array)");
  EXPECT_EQ(dag_error(R"({"edges":[["a","b"]]})"), R"(malformed JSON: edge missing string "from")");
  EXPECT_EQ(dag_error(R"({"edges":[{"to":"b"}]})"),
            R"(malformed JSON: edge missing string "from")");
  EXPECT_EQ(dag_error(R"({"edges":[{"from":"a","to":2}]})"),
            R"(malformed JSON: edge missing string "to")");
  // nodes are checked before edges whatever their order in the text.
  EXPECT_EQ(dag_error(R"({"edges":5,"nodes":5})"), R"(malformed JSON: "nodes" must be an array)");
  EXPECT_EQ(dag_error(R"({"edges":[{"from":"a","to":"b"},{"from":"a","to":"b"}]})"),
            "duplicate edge NodeId(0) -> NodeId(1)");
  EXPECT_EQ(dag_error(R"({"edges":[{"from":"a","to":"a"}]})"), "self-loop on node NodeId(0)");

  EXPECT_EQ(cpdag_error(R"({"nodes":{}})"), R"(malformed JSON: "nodes" must be an array)");
  EXPECT_EQ(cpdag_error(R"({"directed_edges":1})"),
            R"(malformed JSON: "directed_edges" must be an array)");
  EXPECT_EQ(cpdag_error(R"({"directed_edges":[{"to":"b"}]})"),
            R"(malformed JSON: directed edge missing string "from")");
  EXPECT_EQ(cpdag_error(R"({"directed_edges":[{"from":"a"}]})"),
            R"(malformed JSON: directed edge missing string "to")");
  EXPECT_EQ(cpdag_error(R"({"undirected_edges":null,"directed_edges":[3]})"),
            R"(malformed JSON: directed edge missing string "from")");
  EXPECT_EQ(cpdag_error(R"({"undirected_edges":null})"),
            R"(malformed JSON: "undirected_edges" must be an array)");
  EXPECT_EQ(cpdag_error(R"({"undirected_edges":[{"b":"x"}]})"),
            R"(malformed JSON: undirected edge missing string "a")");
  EXPECT_EQ(cpdag_error(R"({"undirected_edges":[{"a":"x","b":null}]})"),
            R"(malformed JSON: undirected edge missing string "b")");
  EXPECT_EQ(cpdag_error(R"({"directed_edges":[{"from":"a","to":"b"}],)"
                        R"("undirected_edges":[{"a":"b","b":"a"}]})"),
            "conflicting edge between NodeId(1) and NodeId(0): an edge with a different "
            "orientation already exists");
  EXPECT_EQ(cpdag_error(R"({"undirected_edges":[{"a":"x","b":"y"},{"a":"y","b":"x"}]})"),
            "duplicate edge NodeId(1) -> NodeId(0)");
}

// Catches syntax errors without the rebuilt position, or a position that
// counts the end of the text as a character.
TEST(JsonReader, SyntaxErrorsEndWithLineAndColumn) {
  const auto ends_with = [](const std::string& s, std::string_view tail) {
    return s.starts_with("malformed JSON: ") && s.ends_with(tail) && s.size() > 16 + tail.size();
  };
  EXPECT_TRUE(ends_with(dag_error(""), " at line 1 column 0")) << dag_error("");
  EXPECT_TRUE(ends_with(dag_error("   "), " at line 1 column 3"));
  EXPECT_TRUE(ends_with(dag_error("{"), " at line 1 column 1"));
  EXPECT_TRUE(ends_with(dag_error("{\n"), " at line 2 column 0"));
  EXPECT_TRUE(ends_with(dag_error("{\n  \"nodes\": [1,]\n}"), " at line 2 column 15"));
  EXPECT_TRUE(ends_with(dag_error("{} x"), " at line 1 column 4"));
  EXPECT_TRUE(ends_with(dag_error("{\"a\":\"x\ny\"}"), " at line 2 column 0"));  // raw newline
  EXPECT_TRUE(ends_with(cpdag_error("{\"nodes\":[1e999]}"), " at line 1 column 15"));
  EXPECT_EQ(dag_error("{\"nodes\":[\"a\"]} x"),
            "malformed JSON: syntax error while parsing value - invalid literal; last read: "
            "'\"a\"]} x'; expected end of input at line 1 column 17");
  EXPECT_TRUE(dag_from_json("{}\n\t ").has_value());  // trailing whitespace is fine
}

// Catches text cut short at a NUL byte taken for the end of the input.
TEST(JsonReader, NulIsNotTheEndOfTheText) {
  using namespace std::string_literals;
  const std::string trailing = "{\"nodes\":[\"a\"]}\0{\"x\":1}"s;
  const std::string message =
      "malformed JSON: syntax error while parsing value - invalid literal; last read: "
      "'\"a\"]}<U+0000>'; expected end of input at line 1 column 16";
  EXPECT_EQ(dag_error(trailing), message);
  EXPECT_EQ(cpdag_error(trailing), message);
  EXPECT_EQ(dag_error("{}\0"s),
            "malformed JSON: syntax error while parsing value - invalid literal; last read: "
            "'{}<U+0000>'; expected end of input at line 1 column 3");
  EXPECT_TRUE(cpdag_error("{}\n \0 "s).ends_with("'; expected end of input at line 2 column 2"));
  EXPECT_EQ(dag_error("\0"s),
            "malformed JSON: syntax error while parsing value - invalid literal; last read: "
            "'<U+0000>' at line 1 column 1");
  EXPECT_EQ(dag_error("{\"nodes\":\0[]}"s),
            "malformed JSON: syntax error while parsing value - invalid literal; last read: "
            "'\"nodes\":<U+0000>' at line 1 column 10");
  EXPECT_EQ(cpdag_error("{\"nodes\":[]\0}"s),
            "malformed JSON: syntax error while parsing object - invalid literal; last read: "
            "'\"nodes\":[]<U+0000>'; expected '}' at line 1 column 12");
  // Inside a string, also after an escaped quote, it stays an unescaped control character.
  const std::string in_string =
      "malformed JSON: syntax error while parsing value - invalid string: control character "
      "U+0000 (NUL) must be escaped to \\u0000; last read: ";
  EXPECT_EQ(dag_error("{\"nodes\":[\"a\0\"]}"s), in_string + "'\"a<U+0000>' at line 1 column 13");
  EXPECT_EQ(cpdag_error("{\"nodes\":[\"\\\"\0\"]}"s),
            in_string + "'\"\\\"<U+0000>' at line 1 column 14");
  // Inside a number, a literal or the byte-order mark it is refused where any stray byte is.
  const std::pair<std::string, std::string_view> in_token[] = {
      {"[1\0]"s, "array - invalid literal; last read: '1<U+0000>'; expected ']' at line 1 column 3"},
      {"[tr\0e]"s, "value - invalid literal; last read: '[tr<U+0000>' at line 1 column 4"},
      {"{\"a\":-\0}"s,
       "value - invalid number; expected digit after '-'; last read: '-<U+0000>' at line 1 column 7"},
      {"\xEF\xBB\0{}"s,
       "value - invalid BOM; must be 0xEF 0xBB 0xBF if given; last read: '\xEF\xBB<U+0000>' at line "
       "1 column 3"},
  };
  for (const auto& [text, tail] : in_token) {
    EXPECT_EQ(dag_error(text), "malformed JSON: syntax error while parsing " + std::string(tail));
  }
  // Escaped, it is still a name's character like any other.
  EXPECT_EQ(dag_from_json(R"({"nodes":["a\u0000b"]})").value().names(),
            (std::vector<std::string>{"a\0b"s}));
}

// Catches a syntax error's column placed after the offending token, or at the byte that
// made it malformed when the token could not stand there at all, instead of at its first byte.
TEST(JsonReader, SyntaxErrorColumnIsTheFirstOffendingByte) {
  EXPECT_EQ(dag_error(R"({"a":1 "b":2})"),
            "malformed JSON: syntax error while parsing object - unexpected string literal; "
            "expected '}' at line 1 column 8");
  EXPECT_EQ(cpdag_error(R"({"a":1 "b":2})"),
            "malformed JSON: syntax error while parsing object - unexpected string literal; "
            "expected '}' at line 1 column 8");
  EXPECT_EQ(dag_error("[true false]"),
            "malformed JSON: syntax error while parsing array - unexpected false literal; "
            "expected ']' at line 1 column 7");
  const auto column = [](std::string_view text) {
    const std::string dag = dag_error(text), cpdag = cpdag_error(text);
    EXPECT_EQ(dag, cpdag);
    return dag.substr(dag.rfind(" at line ") + 1);
  };
  // An unexpected whole token: its first byte.
  EXPECT_EQ(column(R"({"a" "b":1})"), "at line 1 column 6");
  EXPECT_EQ(column(R"({"a":1 2345})"), "at line 1 column 8");
  EXPECT_EQ(column(R"({"a":[1 -25]})"), "at line 1 column 9");
  EXPECT_EQ(column(R"({"a":1} null)"), "at line 1 column 9");
  EXPECT_EQ(column(R"({} "tail")"), "at line 1 column 4");
  EXPECT_EQ(column("{\"a\":1,\n  \"b\":2\n  \"c\":3}"), "at line 3 column 3");
  EXPECT_EQ(column(R"({"a":1,})"), "at line 1 column 8");
  // A malformed token that could not stand there even if well formed: its
  // first byte, not the byte that made it malformed.
  EXPECT_EQ(column("[true fals]"), "at line 1 column 7");
  EXPECT_EQ(column("{tru}"), "at line 1 column 2");
  EXPECT_EQ(column(R"({"a" 1.x})"), "at line 1 column 6");
  EXPECT_EQ(column(R"({"a":1 "b)"), "at line 1 column 8");
  EXPECT_EQ(column("{} tx"), "at line 1 column 4");
  // A malformed token that may stand there: the byte that made it malformed.
  EXPECT_EQ(column("[tru]"), "at line 1 column 5");
  EXPECT_EQ(column("[1.]"), "at line 1 column 4");
  EXPECT_EQ(column(R"({"a":-x})"), "at line 1 column 7");
  EXPECT_EQ(column("{\"a\":\"b\x01\"}"), "at line 1 column 8");
  EXPECT_EQ(column(R"({"a":"\uD800\u0041"})"), "at line 1 column 18");
  EXPECT_EQ(column("\xEF\xBB{}"), "at line 1 column 3");  // a broken byte-order mark
  // Running out of text: after its last byte.
  EXPECT_EQ(column(R"({"a":)"), "at line 1 column 5");
  EXPECT_EQ(column("{\"a\":[1,\n  "), "at line 2 column 2");
  EXPECT_EQ(column(R"({"a":"b)"), "at line 1 column 7");
  // A byte-order mark counts as the bytes it is.
  EXPECT_EQ(column("\xEF\xBB\xBF ]"), "at line 1 column 5");
}

// Catches unbounded nesting: the limit holds exactly, brackets inside
// strings do not count, and a million open brackets fail cleanly.
TEST(JsonReader, NestingLimit) {
  const auto nested = [](std::size_t depth) {
    return std::string(depth, '[') + std::string(depth, ']');
  };
  const std::string ok = "{\"x\":" + nested(kMaxJsonDepth - 1) + "}";
  EXPECT_TRUE(dag_from_json(ok).has_value());
  EXPECT_TRUE(cpdag_from_json(ok).has_value());
  const std::string deep = "{\"s\":\"[[{{\",\n\"x\":" + nested(kMaxJsonDepth) + "}";
  EXPECT_EQ(dag_error(deep), "malformed JSON: nesting deeper than 128 levels at line 2 column 132");
  EXPECT_EQ(dag_error(std::string(1000000, '[')),
            "malformed JSON: nesting deeper than 128 levels at line 1 column 129");
  EXPECT_EQ(cpdag_error(std::string(1000000, '{')).substr(0, 20), "malformed JSON: synt");
  // A syntax error before the limit is reported first.
  EXPECT_TRUE(dag_error("[x" + std::string(500, '[')).ends_with("at line 1 column 2"));
}

// Catches statements broken or injected through names, and quoting of names
// that are plain identifiers or numerals.
TEST(DotWriter, ExactBytesAndQuoting) {
  EXPECT_EQ(to_dot(Dag()), "digraph {\n}");
  EXPECT_EQ(to_dot(make_dag(3, {{2, 1}, {0, 1}, {2, 0}})),
            "digraph {\n  0 -> 1;\n  2 -> 1;\n  2 -> 0;\n}");
  const auto line = [](std::string_view a, std::string_view b) {
    Dag g;
    const NodeId u = g.add_node(a), v = g.add_node(b);
    EXPECT_TRUE(g.add_edge(u, v));
    const std::string dot = to_dot(g);
    return dot.substr(12, dot.size() - 12 - 3);  // between "digraph {\n  " and ";\n}"
  };
  EXPECT_EQ(line("age_2", "_x"), "age_2 -> _x");
  EXPECT_EQ(line("\xc3\xa9t\xc3\xa9", "-1.5"), "\xc3\xa9t\xc3\xa9 -> -1.5");
  EXPECT_EQ(line(".5", "7."), ".5 -> 7.");
  EXPECT_EQ(line("2x", "a b"), "\"2x\" -> \"a b\"");
  EXPECT_EQ(line("a; b -> c", ""), "\"a; b -> c\" -> \"\"");
  EXPECT_EQ(line("q\"t", "back\\"), "\"q\\\"t\" -> \"back\\\\\"");
  EXPECT_EQ(line("Node", "STRICT"), "\"Node\" -> \"STRICT\"");
  EXPECT_EQ(line("nodes", "1.2.3"), "nodes -> \"1.2.3\"");
  EXPECT_EQ(line("-", "."), "\"-\" -> \".\"");
  EXPECT_EQ(line("new\nline", "1e5"), "\"new\nline\" -> \"1e5\"");
}

// read_stopped: `read` stopped on each of its asks in turn: it fails with
// the interruption alone until it finishes before the stop, with the graph
// it reads without any scope. The number of stops.
template <class Read>
int read_stopped(Read read) {
  const auto want = read().value();
  for (int k = 1;; ++k) {
    testing::StopSource stop = testing::StopSource::on_ask(k);
    decltype(read()) r;
    {
      InterruptScope scope(stop);
      r = read();
    }
    if (stop.stopped_at() < 0) {
      if (!r.has_value()) ADD_FAILURE() << r.error();
      if (r.has_value()) expect_same(*r, want);
      return k - 1;
    }
    if (r.has_value() || r.error() != AsvError::interrupted().message()) {
      ADD_FAILURE() << "stopped on ask " << k << ": " << (r ? "a graph" : r.error());
      return k - 1;
    }
  }
}

// Catches a reader deaf to a stop (parsing a big document takes seconds),
// a stop reported as malformed JSON, and a partial graph after a stop.
TEST(JsonReader, StopsWhenAsked) {
  // Big enough that a read outlasts several poll intervals (about 60 ms).
  const Dag dag = testing::random_dag(2500, 0.1, 3);
  std::vector<std::pair<NodeId, NodeId>> directed, undirected;
  for (NodeId u = 0; u < dag.n_nodes(); ++u) {
    for (NodeId v : dag.children(u)) (u % 2 ? directed : undirected).emplace_back(u, v);
  }
  const std::string dag_text = to_json(dag);
  const std::string cpdag_text = to_json(make_cpdag(dag.n_nodes(), directed, undirected));
  EXPECT_GE(read_stopped([&] { return dag_from_json(dag_text); }), 1);
  EXPECT_GE(read_stopped([&] { return cpdag_from_json(cpdag_text); }), 1);
  std::atomic<bool> stop{true};
  InterruptScope scope(stop, nullptr);
  EXPECT_EQ(dag_error(dag_text), "interrupted");
  EXPECT_EQ(cpdag_error(cpdag_text), "interrupted");
}

// ---- snapshots --------------------------------------------------------------

// A graph whose edges went in shuffled, so its parent (and neighbour) lists
// are in an order that listing by tail id would not give back.
Dag shuffled_dag(std::size_t n, double p, std::uint64_t seed) {
  const Dag base = testing::random_dag(n, p, seed);
  std::vector<std::pair<NodeId, NodeId>> edges;
  for (NodeId u = 0; u < n; ++u) {
    for (NodeId c : base.children(u)) edges.emplace_back(u, c);
  }
  std::mt19937_64 rng(seed);
  std::shuffle(edges.begin(), edges.end(), rng);
  Dag g;
  for (NodeId v = 0; v < n; ++v) g.add_node(seed % 2 ? "n\xc3\xa9" + std::to_string(v) : "");
  if (seed % 2 == 0) {  // names of every length, the empty one included
    g = Dag();
    for (NodeId v = 0; v < n; ++v) g.add_node(std::string(v, 'x'));
  }
  for (const auto& [a, b] : edges) EXPECT_TRUE(g.add_edge(a, b));
  return g;
}

// Catches a restored graph whose parent or neighbour lists come back in
// another order than the original's (queries and seeded runs could differ).
TEST(Snapshot, RestoresEveryAdjacencyList) {
  for (std::uint64_t seed = 0; seed < 6; ++seed) {
    const Dag g = shuffled_dag(40, 0.2, seed);
    const ReadResult<Dag> back = dag_from_snapshot(dag_snapshot(g));
    ASSERT_TRUE(back) << back.error();
    ASSERT_EQ(back->names(), g.names());
    for (NodeId v = 0; v < g.n_nodes(); ++v) {
      EXPECT_EQ(ids(back->children(v)), ids(g.children(v)));
      EXPECT_EQ(ids(back->parents(v)), ids(g.parents(v)));
    }
  }
  // A cycle is kept: a CausalDAG may hold one until it is validated.
  Dag cyclic = make_dag(3, {{0, 1}, {1, 2}, {2, 0}});
  ASSERT_TRUE(dag_from_snapshot(dag_snapshot(cyclic)));
  EXPECT_FALSE(dag_from_snapshot(dag_snapshot(cyclic))->validate());

  const Cpdag c = testing::random_pdag(30, 0.3, 0.5, 4);
  const ReadResult<Cpdag> cback = cpdag_from_snapshot(cpdag_snapshot(c));
  ASSERT_TRUE(cback) << cback.error();
  ASSERT_EQ(cback->names(), c.names());
  for (NodeId v = 0; v < c.n_nodes(); ++v) {
    EXPECT_EQ(ids(cback->directed_children(v)), ids(c.directed_children(v)));
    EXPECT_EQ(ids(cback->directed_parents(v)), ids(c.directed_parents(v)));
    EXPECT_EQ(ids(cback->undirected_neighbours(v)), ids(c.undirected_neighbours(v)));
  }
}

// Catches a reader that trusts its input: every truncation, a trailing byte,
// a foreign or newer payload, repeated names and edges, bad UTF-8 and ids
// out of range must fail with a message, never crash or half-build.
TEST(Snapshot, RefusesCorruptedPayloads) {
  const std::string good = dag_snapshot(make_dag(3, {{0, 1}, {1, 2}}));
  for (std::size_t k = 0; k < good.size(); ++k) {
    EXPECT_EQ(error_of(dag_from_snapshot(good.substr(0, k))).rfind("invalid graph snapshot: ", 0),
              0u)
        << k;
  }
  EXPECT_EQ(error_of(dag_from_snapshot(good + '\0')), "invalid graph snapshot: trailing bytes");
  EXPECT_EQ(error_of(dag_from_snapshot("\x80\x04\x95")),
            "invalid graph snapshot: not a morvend graph");
  EXPECT_EQ(error_of(cpdag_from_snapshot(good)), "invalid graph snapshot: not a CausalCPDAG");
  std::string newer = good;
  newer[3] = 2;
  EXPECT_EQ(error_of(dag_from_snapshot(newer)),
            "invalid graph snapshot: version 2 is not supported (this build reads version 1)");
  const std::string head("MVG\x01\x44", 5);
  EXPECT_EQ(error_of(dag_from_snapshot(head + "\x02\x01\x61\x01\x61\x00")),
            "invalid graph snapshot: a node name is repeated");
  EXPECT_EQ(error_of(dag_from_snapshot(head + "\x01\x02\xed\xa0\x00")),
            "invalid graph snapshot: a node name is not UTF-8");
  EXPECT_EQ(error_of(dag_from_snapshot(
                head + std::string("\x02\x01\x61\x01\x62\x02\x00\x01\x00\x01", 10))),
            "invalid graph snapshot: " + AsvError::duplicate_edge(0, 1).message());
  EXPECT_EQ(error_of(dag_from_snapshot(head + std::string("\x01\x00\x01\x00\x05", 5))),
            "invalid graph snapshot: " + AsvError::invalid_node_id(5).message());
  // A count that claims more than the bytes could hold allocates nothing.
  EXPECT_EQ(error_of(dag_from_snapshot(head + "\xff\xff\xff\xff\x0f")),
            "invalid graph snapshot: truncated");
  // Random corruption: a message or a graph, never a crash.
  std::mt19937_64 rng(7);
  const std::string big = dag_snapshot(shuffled_dag(30, 0.3, 3));
  for (int trial = 0; trial < 2000; ++trial) {
    std::string bytes = big;
    bytes[rng() % bytes.size()] = static_cast<char>(rng());
    const ReadResult<Dag> r = dag_from_snapshot(bytes);
    if (r) {
      const std::string canonical = dag_snapshot(*r);
      EXPECT_EQ(dag_snapshot(dag_from_snapshot(canonical).value()), canonical);
    }
  }
}

std::string repr_edges(const ReprPieces& p) {
  std::string text;
  for (const ReprEdge& e : p.edges) {
    text += std::to_string(e.from) + e.arrow + std::to_string(e.to) + " ";
  }
  return text;
}

// Catches a wrong plural, a count of the wrong kind, and edges shown past
// kReprEdges or hidden at it.
TEST(ReprPieces, CountsAndTheEdgesOfSmallGraphs) {
  std::vector<std::pair<NodeId, NodeId>> ten;
  for (NodeId i = 0; i < 10; ++i) ten.emplace_back(i, i + 10);
  std::vector<std::pair<NodeId, NodeId>> eleven = ten;
  eleven.emplace_back(20, 0);
  const struct {
    ReprPieces pieces;
    const char* head;
    std::size_t n_edges;
  } cases[] = {
      {repr_pieces("D", Dag()), "<D: 0 nodes, 0 edges", 0},
      {repr_pieces("D", make_dag(2, {{1, 0}})), "<D: 2 nodes, 1 edge", 1},
      {repr_pieces("D", make_dag(20, ten)), "<D: 20 nodes, 10 edges", 10},
      {repr_pieces("D", make_dag(21, eleven)), "<D: 21 nodes, 11 edges", 0},
      {repr_pieces("E", make_dag(2, {{1, 0}}), /*with_edges=*/false), "<E: 2 nodes, 1 edge", 0},
      {repr_pieces("C", make_cpdag(1, {}, {})),
       "<C: 1 node, 0 directed edges, 0 undirected edges", 0},
      {repr_pieces("C", make_cpdag(20, ten, {})),
       "<C: 20 nodes, 10 directed edges, 0 undirected edges", 10},
      {repr_pieces("C", make_cpdag(21, ten, {{20, 0}})),
       "<C: 21 nodes, 10 directed edges, 1 undirected edge", 0},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.pieces.head, c.head);
    EXPECT_EQ(c.pieces.edges.size(), c.n_edges) << c.head;
  }
  EXPECT_EQ(repr_edges(repr_pieces("D", make_dag(3, {{2, 0}, {0, 1}}))), "0->1 2->0 ");
  // Directed edges first, then each undirected one once.
  EXPECT_EQ(repr_edges(repr_pieces("C", make_cpdag(3, {{2, 0}}, {{1, 0}}))), "2->0 0--1 ");
}

}  // namespace
}  // namespace morvend

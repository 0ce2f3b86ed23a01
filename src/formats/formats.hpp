// Text forms of graphs: the DAG and CPDAG JSON documents and Graphviz DOT.
//
// Writers produce one exact byte form and never fail: compact JSON with
// object keys in ascending byte order, nodes by id, edges grouped by tail in
// children-list order. Readers accept any JSON of the documented shape
// (whitespace, member order and unknown members do not matter), refuse
// documents nested deeper than kMaxJsonDepth without recursing, and return
// either a whole graph or the message of the first failure, never a partial
// graph. Readers never validate acyclicity. Readers can be stopped
// (graph/interrupt.hpp); they then fail with AsvError::interrupted()'s message.
//
//   std::string text = to_json(dag);       // {"edges":[{"from":"x","to":"y"}],"nodes":["x","y"]}
//   ReadResult<Dag> back = dag_from_json(text);   // same ids, same adjacency order
//   std::string dot = to_dot(dag);         // digraph {\n  x -> y;\n}
#pragma once

#include <cstddef>
#include <expected>
#include <string>
#include <string_view>

#include "cpdag/cpdag.hpp"
#include "graph/dag.hpp"

namespace morvend {

// ReadResult: the graph read, or the full message of the first failure
// ("malformed JSON: ...", or an insertion error's message). A syntax error's
// message ends " at line L column C", L counting from 1 and C the bytes of
// line L up to and including the first byte a reader taking one byte at a
// time cannot accept: the first byte of a token that cannot stand where it
// is, else the byte that makes a token malformed; C counts the whole line when
// the text ends too soon. A NUL byte outside a string is such a byte.
template <class T>
using ReadResult = std::expected<T, std::string>;

// The deepest nesting of arrays and objects a reader accepts; the top-level
// value is level 1. Real documents need 3.
inline constexpr std::size_t kMaxJsonDepth = 128;

// to_json: {"edges":[{"from":..,"to":..},...],"nodes":[...]}.
// REQUIRES: names are valid UTF-8 (always true for names from Python).
std::string to_json(const Dag& g);
// to_json: {"directed_edges":[{"from":..,"to":..}],"nodes":[..],
// "undirected_edges":[{"a":..,"b":..}]}, each undirected edge once with
// a < b by id.
std::string to_json(const Cpdag& g);

// dag_from_json: reads `nodes` (each through add_node), then `edges` (each
// through add_edge, tail first).
[[nodiscard]] ReadResult<Dag> dag_from_json(std::string_view text);
// cpdag_from_json: reads `nodes`, then `directed_edges`, then `undirected_edges`.
[[nodiscard]] ReadResult<Cpdag> cpdag_from_json(std::string_view text);

// to_dot: "digraph {\n", one "  tail -> head;\n" line per edge, "}". A name
// that is not a plain DOT identifier or numeral is written in double quotes
// with '"' and '\' escaped, so no name can break or extend the statements.
std::string to_dot(const Dag& g);

}  // namespace morvend

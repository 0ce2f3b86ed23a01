// The methods both graph classes share, each written once as a template that
// a class's method table names directly:
//
// reading: no arguments; a shared borrow, then the body reads graph and strs.
// with_names: one `names` argument (the hulls and the induced subgraphs),
// converted before borrowing, then resolved in order (the first unknown one
// raises); bodies run their computation under a SignalWatch, so that Ctrl-C
// stops it.
// checked: a body of `reading` that runs a check of the graph under a
// SignalWatch.
// adding_edge: two names; nodes created stay even when the edge is refused.
// from_json: one str, read under a SignalWatch into a new instance.
// new_graph: the constructor, without arguments.
//
//   {"to_json", fastcall<&reading<Dag, "CausalDAG.to_json()", &json_text<Dag>>>(), ...}
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <functional>
#include <optional>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "formats/formats.hpp"
#include "python/arg_convert.hpp"
#include "python/args.hpp"
#include "python/borrow.hpp"
#include "python/errors.hpp"
#include "python/instance.hpp"
#include "python/names.hpp"
#include "python/results.hpp"
#include "python/signal_watch.hpp"

namespace morvend::py {

constexpr int kFastcall = METH_FASTCALL | METH_KEYWORDS;

template <class Graph, MethodName Name, PyObject* (*Body)(const Graph&, NameStrs&)>
PyObject* reading(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr ArgSpec kSpec{Name.text, {}, 0};
  if (!parse_args(kSpec, args, nargs, kwnames, nullptr)) return nullptr;
  Instance<Graph>* inst = instance_of<Graph>(self);
  SharedBorrow read(inst->borrow);
  if (!read) return nullptr;
  return Body(std::as_const(inst->value), inst->strs);
}

template <class Graph, MethodName Name,
          PyObject* (*Body)(const Graph&, std::span<const NodeId>, NameStrs&)>
PyObject* with_names(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr const char* kParams[] = {"names"};
  static constexpr ArgSpec kSpec{Name.text, kParams, 1};
  PyObject* argv[1];
  if (!parse_args(kSpec, args, nargs, kwnames, argv)) return nullptr;
  NamesArg names;
  if (!arg_names(argv[0], "names", &names)) return nullptr;
  Instance<Graph>* inst = instance_of<Graph>(self);
  SharedBorrow read(inst->borrow);
  if (!read) return nullptr;
  const std::optional<std::vector<NodeId>> ids = resolve_names(inst->value, names);
  if (!ids) return nullptr;
  return Body(inst->value, std::span<const NodeId>(*ids), inst->strs);
}

// hull_names: the body of a hull method: the hull's names in byte order.
template <class Graph, Result<std::vector<NodeId>> (*Hull)(const Graph&, std::span<const NodeId>)>
PyObject* hull_names(const Graph& g, std::span<const NodeId> ids, NameStrs& strs) {
  SignalWatch watch;
  Result<std::vector<NodeId>> hull = Hull(g, ids);
  if (watch.raise_pending()) return nullptr;
  if (!hull) return raise_asv_error(hull.error());
  return sorted_names_list(strs, g.names(), std::move(*hull));
}

// Bodies of `reading` for both classes.
template <class Graph>
PyObject* node_names(const Graph& g, NameStrs& strs) {
  return names_list(strs, g.names());
}
template <class Graph>
PyObject* json_text(const Graph& g, NameStrs&) {
  return str_from(to_json(g));
}

// checked: a body of `reading` that runs Check: None when it passes.
template <class Graph, auto Check>
PyObject* checked(const Graph& g, NameStrs&) {
  SignalWatch watch;
  const Result<void> r = std::invoke(Check, g);
  if (watch.raise_pending()) return nullptr;
  if (!r) return raise_asv_error(r.error());
  Py_RETURN_NONE;
}

// Params: the two parameter names, as a static array.
template <class Graph, MethodName Name, const auto& Params,
          Result<void> (Graph::*Insert)(NodeId, NodeId)>
PyObject* adding_edge(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr ArgSpec kSpec{Name.text, Params, 2};
  PyObject* argv[2];
  if (!parse_args(kSpec, args, nargs, kwnames, argv)) return nullptr;
  std::string_view first, second;
  if (!arg_str(argv[0], Params[0], &first) || !arg_str(argv[1], Params[1], &second)) {
    return nullptr;
  }
  Instance<Graph>* inst = instance_of<Graph>(self);
  ExclusiveBorrow write(inst->borrow);
  if (!write) return nullptr;
  Graph& g = inst->value;
  const NodeId a = g.add_node(first);
  const NodeId b = g.add_node(second);
  inst->strs.keep(a, argv[0]);
  inst->strs.keep(b, argv[1]);
  if (Result<void> r = (g.*Insert)(a, b); !r) return raise_asv_error(r.error());
  Py_RETURN_NONE;
}

static_assert(kMaxJsonDepth == 128, "the from_json docstrings state the nesting limit");

template <class Graph, MethodName Name, ReadResult<Graph> (*Read)(std::string_view),
          PyObject* (*Wrap)(Graph&&, NameStrs&&)>
PyObject* from_json(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr const char* kParams[] = {"s"};
  static constexpr ArgSpec kSpec{Name.text, kParams, 1};
  PyObject* argv[1];
  if (!parse_args(kSpec, args, nargs, kwnames, argv)) return nullptr;
  std::string_view text;
  if (!arg_str(argv[0], "s", &text)) return nullptr;
  SignalWatch watch;
  ReadResult<Graph> g = Read(text);
  if (watch.raise_pending()) return nullptr;
  if (!g) return raise_read_error(g.error());
  return Wrap(std::move(*g), NameStrs());
}

// new_graph: the constructor, which takes no arguments: an empty graph.
template <class Graph, MethodName Name>
PyObject* new_graph(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static constexpr ArgSpec kSpec{Name.text, {}, 0};
  if (!parse_args(kSpec, args, kwargs, nullptr)) return nullptr;
  return new_instance(type, Graph());
}

}  // namespace morvend::py

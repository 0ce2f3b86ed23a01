// The shapes shared by the graph methods of both graph classes.
//
// reading: a method without arguments that reads the graph: refuse any
// argument, take a shared borrow, then hand graph and strs to the body.
//
// with_names: a method that takes one `names` argument (the hulls and the
// induced subgraphs): parse and convert the argument before borrowing, take a
// shared borrow, resolve the names in order (the first unknown one raises),
// then hand graph and ids to the body. Bodies run their computation under a
// SignalWatch, so that Ctrl-C stops it.
//
//   return reading<Dag>("CausalDAG.to_dot()", self, args, nargs, kwnames,
//                       [](const Dag& g, NameStrs&) { return str_from(to_dot(g)); });
//   return with_names<Dag>("CausalDAG.d_convex_hull()", self, args, nargs, kwnames,
//                          &hull_names<Dag, &d_convex_hull>);
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "python/args.hpp"
#include "python/borrow.hpp"
#include "python/arg_convert.hpp"
#include "python/errors.hpp"
#include "python/instance.hpp"
#include "python/names.hpp"
#include "python/signal_watch.hpp"

namespace morvend::py {

template <class Graph, class Body>
PyObject* reading(const char* fname, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                  PyObject* kwnames, Body body) {
  const ArgSpec spec{fname, {}, 0};
  if (!parse_args(spec, args, nargs, kwnames, nullptr)) return nullptr;
  Instance<Graph>* inst = instance_of<Graph>(self);
  SharedBorrow read(inst->borrow);
  if (!read) return nullptr;
  return body(std::as_const(inst->value), inst->strs);
}

template <class Graph, class Body>
PyObject* with_names(const char* fname, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames, Body body) {
  static constexpr const char* kParams[] = {"names"};
  const ArgSpec spec{fname, kParams, 1};
  PyObject* argv[1];
  if (!parse_args(spec, args, nargs, kwnames, argv)) return nullptr;
  NamesArg names;
  if (!arg_names(argv[0], "names", &names)) return nullptr;
  Instance<Graph>* inst = instance_of<Graph>(self);
  SharedBorrow read(inst->borrow);
  if (!read) return nullptr;
  const std::optional<std::vector<NodeId>> ids = resolve_names(inst->value, names);
  if (!ids) return nullptr;
  return body(inst->value, std::span<const NodeId>(*ids), inst->strs);
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

}  // namespace morvend::py

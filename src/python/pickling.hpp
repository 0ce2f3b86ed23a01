// What the three classes need to behave like Python objects: pickling (and
// so copy.copy and copy.deepcopy) through a compact, versioned snapshot, and
// a repr that shows the class, the counts and, for small graphs, the edges.
//
//   CausalDAG.__reduce__()    -> (CausalDAG, (), snapshot bytes)
//   CausalDAG.__setstate__(b) -> fills a new, empty CausalDAG from b
//   ASVExplainer.__reduce__() -> (ASVExplainer, (CausalDAG of its frozen copy,))
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "formats/formats.hpp"
#include "graph/dag.hpp"
#include "python/args.hpp"
#include "python/errors.hpp"
#include "python/instance.hpp"
#include "python/names.hpp"

namespace morvend::py {

// Graphs with at most this many edges show them in their repr.
inline constexpr std::size_t kReprEdges = 10;

// reduce_to_state: (type(self), (), bytes of `snapshot`).
PyObject* reduce_to_state(PyObject* self, const std::string& snapshot);

// state_bytes: the bytes argument of __setstate__; false with TypeError set
// (naming the parameter) when it is not bytes.
bool state_bytes(PyObject* arg, std::string_view* out);

// refuse_nonempty_state: ValueError for __setstate__ on a graph that already
// has nodes (graphs only grow); returns nullptr.
PyObject* refuse_nonempty_state(const char* fname);

// reduce_graph: __reduce__ of a graph class: no arguments, then the
// snapshot `write` makes of the instance's graph.
template <class Graph>
PyObject* reduce_graph(const ArgSpec& spec, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames, std::string (*write)(const Graph&)) {
  if (!parse_args(spec, args, nargs, kwnames, nullptr)) return nullptr;
  Instance<Graph>* inst = instance_of<Graph>(self);
  SharedBorrow read(inst->borrow);
  if (!read) return nullptr;
  return reduce_to_state(self, write(inst->value));
}

// setstate_graph: __setstate__ of a graph class: one bytes argument, read by
// `read` into the instance, which must still be empty.
template <class Graph>
PyObject* setstate_graph(const ArgSpec& spec, PyObject* self, PyObject* const* args,
                         Py_ssize_t nargs, PyObject* kwnames,
                         ReadResult<Graph> (*read)(std::string_view)) {
  PyObject* argv[1];
  if (!parse_args(spec, args, nargs, kwnames, argv)) return nullptr;
  std::string_view bytes;
  if (!state_bytes(argv[0], &bytes)) return nullptr;
  Instance<Graph>* inst = instance_of<Graph>(self);
  ExclusiveBorrow write(inst->borrow);
  if (!write) return nullptr;
  if (inst->value.n_nodes() != 0) return refuse_nonempty_state(spec.fname);
  ReadResult<Graph> g = read(bytes);
  if (!g) return raise_read_error(g.error());
  inst->value = std::move(*g);
  Py_RETURN_NONE;
}

// EdgeText: one edge of a repr, by ids, with its arrow ("->" or "--").
struct EdgeText {
  NodeId from, to;
  const char* arrow;
};

// graph_repr: "<Class: N nodes, M edges: 'a' -> 'b', ...>" with one count
// per entry of `counts` (label, number) and the edges when there are at most
// kReprEdges of them.
PyObject* graph_repr(const char* cls, std::span<const std::pair<const char*, std::size_t>> counts,
                     std::span<const EdgeText> edges, NameStrs& strs,
                     std::span<const std::string> names);

}  // namespace morvend::py

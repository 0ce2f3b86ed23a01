// What the three classes need to behave like Python objects: pickling (and
// so copy.copy and copy.deepcopy) through a compact, versioned snapshot, and
// a repr that shows the class, the counts and, for small graphs, the edges
// (the text of formats/repr_text.hpp, with the names as Python shows them).
//
//   CausalDAG.__reduce__()    -> (CausalDAG, (), snapshot bytes)
//   CausalDAG.__setstate__(b) -> fills a new, empty CausalDAG from b
//   ASVExplainer.__reduce__() -> (ASVExplainer, (CausalDAG of its frozen copy,))
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "formats/formats.hpp"
#include "formats/repr_text.hpp"
#include "python/args.hpp"
#include "python/errors.hpp"
#include "python/instance.hpp"
#include "python/names.hpp"

namespace morvend::py {

// reduce_to_state: (type(self), (), bytes of `snapshot`).
PyObject* reduce_to_state(PyObject* self, const std::string& snapshot);

// state_bytes: the bytes argument of __setstate__; false with TypeError set
// (naming the parameter) when it is not bytes.
bool state_bytes(PyObject* arg, std::string_view* out);

// refuse_nonempty_state: ValueError for __setstate__ on a graph that already
// has nodes (graphs only grow); returns nullptr.
PyObject* refuse_nonempty_state(const char* fname);

// reduce_graph: __reduce__ of a graph class: no arguments, then the
// snapshot Write makes of the instance's graph.
template <class Graph, MethodName Name, std::string (*Write)(const Graph&)>
PyObject* reduce_graph(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) {
  static constexpr ArgSpec kSpec{Name.text, {}, 0};
  if (!parse_args(kSpec, args, nargs, kwnames, nullptr)) return nullptr;
  Instance<Graph>* inst = instance_of<Graph>(self);
  SharedBorrow read(inst->borrow);
  if (!read) return nullptr;
  return reduce_to_state(self, Write(inst->value));
}

// setstate_graph: __setstate__ of a graph class: one bytes argument, read by
// Read into the instance, which must still be empty.
template <class Graph, MethodName Name, ReadResult<Graph> (*Read)(std::string_view)>
PyObject* setstate_graph(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
  static constexpr const char* kParams[] = {"state"};
  static constexpr ArgSpec kSpec{Name.text, kParams, 1};
  PyObject* argv[1];
  if (!parse_args(kSpec, args, nargs, kwnames, argv)) return nullptr;
  std::string_view bytes;
  if (!state_bytes(argv[0], &bytes)) return nullptr;
  Instance<Graph>* inst = instance_of<Graph>(self);
  ExclusiveBorrow write(inst->borrow);
  if (!write) return nullptr;
  if (inst->value.n_nodes() != 0) return refuse_nonempty_state(kSpec.fname);
  ReadResult<Graph> g = Read(bytes);
  if (!g) return raise_read_error(g.error());
  inst->value = std::move(*g);
  Py_RETURN_NONE;
}

// repr_text: pieces.head, the edges of `pieces` with their names quoted as
// Python shows them (so any name reads back), then '>'.
PyObject* repr_text(const ReprPieces& pieces, NameStrs& strs, std::span<const std::string> names);

// graph_repr: the tp_repr of a graph class named Cls.
template <class Graph, MethodName Cls>
PyObject* graph_repr(PyObject* self) {
  Instance<Graph>* inst = instance_of<Graph>(self);
  SharedBorrow read(inst->borrow);
  if (!read) return nullptr;
  return repr_text(repr_pieces(Cls.text, inst->value), inst->strs, inst->value.names());
}

}  // namespace morvend::py

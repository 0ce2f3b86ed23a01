// class CausalCPDAG:
//     def __new__(cls) -> CausalCPDAG
//     @staticmethod
//     def from_edges(directed: Sequence[tuple[str, str]] = ...,
//                    undirected: Sequence[tuple[str, str]] = ...) -> CausalCPDAG
//     def nodes(self) -> list[str]
//     def directed_edges(self) -> list[tuple[str, str]]
//     def undirected_edges(self) -> list[tuple[str, str]]
//     def add_directed_edge(self, from_name: str, to_name: str) -> None
//     def add_undirected_edge(self, a_name: str, b_name: str) -> None
//     def validate_pdag(self) -> None
//     def validate_cpdag(self) -> None
//     def consistent_extension(self) -> CausalDAG
//     def strong_d_convex_hull(self, names: Sequence[str]) -> list[str]
//     def induced_subgraph(self, names: Sequence[str]) -> CausalCPDAG
//     def to_json(self) -> str
//     @staticmethod
//     def from_json(s: str) -> CausalCPDAG
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>
#include <vector>

#include "cpdag/cpdag.hpp"
#include "formats/formats.hpp"
#include "formats/snapshot.hpp"
#include "python/arg_convert.hpp"
#include "python/args.hpp"
#include "python/boundary.hpp"
#include "python/classes.hpp"
#include "python/errors.hpp"
#include "python/instance.hpp"
#include "python/names.hpp"
#include "python/names_method.hpp"
#include "python/pickling.hpp"
#include "python/py_ref.hpp"
#include "python/results.hpp"
#include "python/signal_watch.hpp"

namespace morvend::py {
namespace {

// ---- instance --------------------------------------------------------------

Cpdag& cpdag_of(PyObject* self) { return instance_of<Cpdag>(self)->value; }
BorrowFlag& borrow_of(PyObject* self) { return instance_of<Cpdag>(self)->borrow; }
NameStrs& strs_of(PyObject* self) { return instance_of<Cpdag>(self)->strs; }

// ---- lifecycle -------------------------------------------------------------

constexpr const char* kNoParams[] = {"__unused__"};

PyObject* cpdag_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static constexpr ArgSpec kSpec{"CausalCPDAG.__new__()", std::span(kNoParams, 0), 0};
  if (!parse_args(kSpec, args, kwargs, nullptr)) return nullptr;
  return new_instance(type, Cpdag());
}

// ---- methods ---------------------------------------------------------------

PyObject* cpdag_from_edges(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr const char* kParams[] = {"directed", "undirected"};
  static constexpr ArgSpec kSpec{"CausalCPDAG.from_edges()", kParams, 0};
  PyObject* argv[2];
  if (!parse_args(kSpec, args, nargs, kwnames, argv)) return nullptr;
  EdgesArg directed, undirected;
  if (argv[0] != nullptr && !arg_edges(argv[0], "directed", &directed)) return nullptr;
  if (argv[1] != nullptr && !arg_edges(argv[1], "undirected", &undirected)) return nullptr;
  Cpdag g;
  NameStrs strs;
  const auto add = [&](const NameArg& name) {
    const NodeId id = g.add_node(name.text);
    strs.keep(id, name.obj);
    return id;
  };
  for (const auto& [tail, head] : directed.edges) {
    const NodeId from = add(tail);
    const NodeId to = add(head);
    if (Result<void> r = g.add_directed_edge(from, to); !r) return raise_asv_error(r.error());
  }
  for (const auto& [first, second] : undirected.edges) {
    const NodeId a = add(first);
    const NodeId b = add(second);
    if (Result<void> r = g.add_undirected_edge(a, b); !r) return raise_asv_error(r.error());
  }
  return wrap_cpdag(std::move(g), std::move(strs));
}

PyObject* cpdag_nodes(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return reading<Cpdag>("CausalCPDAG.nodes()", self, args, nargs, kwnames,
                        [](const Cpdag& g, NameStrs& strs) { return names_list(strs, g.names()); });
}

PyObject* cpdag_directed_edges(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
  return reading<Cpdag>(
      "CausalCPDAG.directed_edges()", self, args, nargs, kwnames,
      [](const Cpdag& g, NameStrs& strs) {
        std::vector<std::pair<NodeId, NodeId>> pairs;
        pairs.reserve(g.n_directed_edges());
        for (NodeId u = 0; u < g.n_nodes(); ++u) {
          for (NodeId v : g.directed_children(u)) pairs.emplace_back(u, v);
        }
        return name_pairs_list(strs, g.names(), pairs);
      });
}

PyObject* cpdag_undirected_edges(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
  return reading<Cpdag>(
      "CausalCPDAG.undirected_edges()", self, args, nargs, kwnames,
      [](const Cpdag& g, NameStrs& strs) {
        std::vector<std::pair<NodeId, NodeId>> pairs;
        pairs.reserve(g.n_undirected_edges());
        for (NodeId u = 0; u < g.n_nodes(); ++u) {
          for (NodeId v : g.undirected_neighbours(u)) {
            if (u < v) pairs.emplace_back(u, v);
          }
        }
        return name_pairs_list(strs, g.names(), pairs);
      });
}

// Shared body of add_directed_edge() and add_undirected_edge(): nodes created
// here stay even when the edge is refused.
template <Result<void> (Cpdag::*Insert)(NodeId, NodeId)>
PyObject* insert_edge(const ArgSpec& spec, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) {
  PyObject* argv[2];
  if (!parse_args(spec, args, nargs, kwnames, argv)) return nullptr;
  std::string_view first, second;
  if (!arg_str(argv[0], spec.params[0], &first) || !arg_str(argv[1], spec.params[1], &second)) {
    return nullptr;
  }
  ExclusiveBorrow write(borrow_of(self));
  if (!write) return nullptr;
  Cpdag& g = cpdag_of(self);
  const NodeId a = g.add_node(first);
  const NodeId b = g.add_node(second);
  strs_of(self).keep(a, argv[0]);
  strs_of(self).keep(b, argv[1]);
  if (Result<void> r = (g.*Insert)(a, b); !r) return raise_asv_error(r.error());
  Py_RETURN_NONE;
}

PyObject* cpdag_add_directed_edge(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) {
  static constexpr const char* kParams[] = {"from_name", "to_name"};
  static constexpr ArgSpec kSpec{"CausalCPDAG.add_directed_edge()", kParams, 2};
  return insert_edge<&Cpdag::add_directed_edge>(kSpec, self, args, nargs, kwnames);
}

PyObject* cpdag_add_undirected_edge(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames) {
  static constexpr const char* kParams[] = {"a_name", "b_name"};
  static constexpr ArgSpec kSpec{"CausalCPDAG.add_undirected_edge()", kParams, 2};
  return insert_edge<&Cpdag::add_undirected_edge>(kSpec, self, args, nargs, kwnames);
}

PyObject* cpdag_validate_pdag(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
  return reading<Cpdag>(
      "CausalCPDAG.validate_pdag()", self, args, nargs, kwnames,
      [](const Cpdag& g, NameStrs&) -> PyObject* {
        SignalWatch watch;
        const Result<void> r = g.validate_pdag();
        if (watch.raise_pending()) return nullptr;
        if (!r) return raise_asv_error(r.error());
        Py_RETURN_NONE;
      });
}

PyObject* cpdag_validate_cpdag(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
  return reading<Cpdag>(
      "CausalCPDAG.validate_cpdag()", self, args, nargs, kwnames,
      [](const Cpdag& g, NameStrs&) -> PyObject* {
        SignalWatch watch;
        const Result<void> r = validate_cpdag(g);
        if (watch.raise_pending()) return nullptr;
        if (!r) return raise_asv_error(r.error());
        Py_RETURN_NONE;
      });
}

PyObject* cpdag_consistent_extension(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                     PyObject* kwnames) {
  return reading<Cpdag>(
      "CausalCPDAG.consistent_extension()", self, args, nargs, kwnames,
      [](const Cpdag& g, NameStrs& strs) -> PyObject* {
        SignalWatch watch;
        Result<Dag> dag = consistent_extension(g);
        if (watch.raise_pending()) return nullptr;
        if (!dag) return raise_asv_error(dag.error());
        // The same names under the same ids: the new graph shares their strs.
        NameStrs dag_strs;
        dag_strs.keep_same(strs, dag->n_nodes());
        return wrap_dag(std::move(*dag), std::move(dag_strs));
      });
}

PyObject* cpdag_strong_d_convex_hull(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                     PyObject* kwnames) {
  return with_names<Cpdag>("CausalCPDAG.strong_d_convex_hull()", self, args, nargs, kwnames,
                           &hull_names<Cpdag, &strong_d_convex_hull>);
}

PyObject* cpdag_induced_subgraph(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
  return with_names<Cpdag>("CausalCPDAG.induced_subgraph()", self, args, nargs, kwnames,
                           [](const Cpdag& g, std::span<const NodeId> ids, NameStrs&) -> PyObject* {
                             SignalWatch watch;
                             Result<Cpdag> sub = induced_subgraph(g, ids);
                             if (watch.raise_pending()) return nullptr;
                             if (!sub) return raise_asv_error(sub.error());
                             return wrap_cpdag(std::move(*sub));
                           });
}

PyObject* cpdag_to_json(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
  return reading<Cpdag>("CausalCPDAG.to_json()", self, args, nargs, kwnames,
                        [](const Cpdag& g, NameStrs&) { return str_from(to_json(g)); });
}

PyObject* cpdag_from_json(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr const char* kParams[] = {"s"};
  static constexpr ArgSpec kSpec{"CausalCPDAG.from_json()", kParams, 1};
  PyObject* argv[1];
  if (!parse_args(kSpec, args, nargs, kwnames, argv)) return nullptr;
  std::string_view text;
  if (!arg_str(argv[0], "s", &text)) return nullptr;
  SignalWatch watch;
  ReadResult<Cpdag> g = morvend::cpdag_from_json(text);
  if (watch.raise_pending()) return nullptr;
  if (!g) return raise_read_error(g.error());
  return wrap_cpdag(std::move(*g));
}

static_assert(kMaxJsonDepth == 128, "the from_json docstring states the nesting limit");

constexpr int kFastcall = METH_FASTCALL | METH_KEYWORDS;

// ---- pickling and repr ------------------------------------------------------

PyObject* cpdag_reduce(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr ArgSpec kSpec{"CausalCPDAG.__reduce__()", std::span(kNoParams, 0), 0};
  return reduce_graph<Cpdag>(kSpec, self, args, nargs, kwnames, &cpdag_snapshot);
}

PyObject* cpdag_setstate(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
  static constexpr const char* kParams[] = {"state"};
  static constexpr ArgSpec kSpec{"CausalCPDAG.__setstate__()", kParams, 1};
  return setstate_graph<Cpdag>(kSpec, self, args, nargs, kwnames, &cpdag_from_snapshot);
}

PyObject* cpdag_repr(PyObject* self) {
  SharedBorrow read(borrow_of(self));
  if (!read) return nullptr;
  const Cpdag& g = cpdag_of(self);
  const std::pair<const char*, std::size_t> counts[] = {
      {"node", g.n_nodes()},
      {"directed edge", g.n_directed_edges()},
      {"undirected edge", g.n_undirected_edges()}};
  std::vector<EdgeText> edges;
  if (g.n_directed_edges() + g.n_undirected_edges() <= kReprEdges) {
    for (NodeId u = 0; u < g.n_nodes(); ++u) {
      for (NodeId v : g.directed_children(u)) edges.push_back({u, v, "->"});
    }
    for (NodeId u = 0; u < g.n_nodes(); ++u) {
      for (NodeId v : g.undirected_neighbours(u)) {
        if (u < v) edges.push_back({u, v, "--"});
      }
    }
  }
  return graph_repr("CausalCPDAG", counts, edges, strs_of(self), g.names());
}

PyMethodDef cpdag_methods[] = {
    {"from_edges", fastcall<&cpdag_from_edges>(), kFastcall | METH_STATIC,
     "from_edges(directed=..., undirected=...)\n--\n\n"
     "Construct a CPDAG from directed (from, to) and undirected (a, b) edge tuples.\n"
     "Nodes are created automatically."},
    {"nodes", fastcall<&cpdag_nodes>(), kFastcall,
     "nodes($self)\n--\n\nReturn all node names in insertion order."},
    {"directed_edges", fastcall<&cpdag_directed_edges>(), kFastcall,
     "directed_edges($self)\n--\n\nReturn all directed edges as (from, to) name pairs."},
    {"undirected_edges", fastcall<&cpdag_undirected_edges>(), kFastcall,
     "undirected_edges($self)\n--\n\n"
     "Return all undirected edges as (a, b) name pairs, `a < b` by `NodeId`."},
    {"add_directed_edge", fastcall<&cpdag_add_directed_edge>(), kFastcall,
     "add_directed_edge($self, from_name, to_name)\n--\n\n"
     "Add a compelled (directed) edge. Nodes are created automatically."},
    {"add_undirected_edge", fastcall<&cpdag_add_undirected_edge>(), kFastcall,
     "add_undirected_edge($self, a_name, b_name)\n--\n\n"
     "Add an unresolved (undirected) edge. Nodes are created automatically."},
    {"validate_pdag", fastcall<&cpdag_validate_pdag>(), kFastcall,
     "validate_pdag($self)\n--\n\n"
     "Cheap structural validation: the graph is non-empty and its directed edges\n"
     "form no cycle.\n\n"
     "This does not verify full CPDAG validity; see `validate_cpdag()`."},
    {"validate_cpdag", fastcall<&cpdag_validate_cpdag>(), kFastcall,
     "validate_cpdag($self)\n--\n\n"
     "`validate_pdag()` plus the existence of a consistent DAG extension.\n\n"
     "This does not verify that the directed edges are exactly the compelled edges\n"
     "of a genuine Markov equivalence class."},
    {"consistent_extension", fastcall<&cpdag_consistent_extension>(), kFastcall,
     "consistent_extension($self)\n--\n\n"
     "Construct a consistent DAG extension (Dor-Tarsi / Chickering PDAG-to-DAG\n"
     "algorithm): a CausalDAG with the same nodes in the same order.\n\n"
     "Raises ValueError if no valid extension exists (for example a chordless\n"
     "undirected cycle)."},
    {"strong_d_convex_hull", fastcall<&cpdag_strong_d_convex_hull>(), kFastcall,
     "strong_d_convex_hull($self, names)\n--\n\n"
     "The strong d-convex hull of `names`: sorted node names.\n\n"
     "The hull is computed in one consistent DAG extension, which is sound because\n"
     "the hull's vertex set is identical across every DAG of the CPDAG's Markov\n"
     "equivalence class."},
    {"induced_subgraph", fastcall<&cpdag_induced_subgraph>(), kFastcall,
     "induced_subgraph($self, names)\n--\n\n"
     "Return the sub-CPDAG induced by `names`.\n\n"
     "Nodes not listed are dropped along with every edge touching a dropped node;\n"
     "the edge kind (directed or undirected) is preserved for retained pairs."},
    {"to_json", fastcall<&cpdag_to_json>(), kFastcall,
     "to_json($self)\n--\n\n"
     "Return a JSON string representing the CPDAG.\n\n"
     "Format: {\"nodes\":[\"a\",\"b\"],\"directed_edges\":[{\"from\":\"a\",\"to\":\"b\"}],"
     "\"undirected_edges\":[{\"a\":\"b\",\"b\":\"c\"}]}\n"
     "The text is compact, with object keys in ascending order."},
    {"from_json", fastcall<&cpdag_from_json>(), kFastcall | METH_STATIC,
     "from_json(s)\n--\n\n"
     "Construct a CPDAG from a JSON string in the format of `to_json()`.\n\n"
     "The input is parsed as structural JSON (whitespace-insensitive); unknown keys\n"
     "are ignored. Malformed JSON, a top-level value that is not an object, or\n"
     "shapes not matching the documented ones raise ValueError. Arrays and objects\n"
     "may nest at most 128 levels deep; deeper input is malformed JSON."},
    {"__reduce__", fastcall<&cpdag_reduce>(), kFastcall,
     "__reduce__($self)\n--\n\n"
     "Pickling support: (CausalCPDAG, (), state), the state a compact, versioned snapshot\n"
     "of the graph (names, ids and every adjacency list in its order)."},
    {"__setstate__", fastcall<&cpdag_setstate>(), kFastcall,
     "__setstate__($self, state)\n--\n\n"
     "Pickling support: fills a new, empty CausalCPDAG from a __reduce__ state.\n\n"
     "Raises ValueError for a corrupted, foreign or newer state, or a graph with nodes."},
    {nullptr, nullptr, 0, nullptr},  // sentinel
};

// ---- type ------------------------------------------------------------------

PyType_Slot cpdag_slots[] = {
    {Py_tp_repr, reinterpret_cast<void*>(&unary_entry<&cpdag_repr>)},
    {Py_tp_doc, const_cast<char*>("CausalCPDAG()\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(&new_entry<&cpdag_new>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&instance_dealloc<Cpdag>)},
    {Py_tp_methods, cpdag_methods},
    {0, nullptr},  // sentinel
};

PyType_Spec cpdag_spec = {
    .name = "morvend.CausalCPDAG",
    .basicsize = sizeof(Instance<Cpdag>),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    .slots = cpdag_slots,
};

}  // namespace

PyTypeObject* causal_cpdag_type() {
  static PyTypeObject* type = nullptr;
  if (type == nullptr) type = create_type(&cpdag_spec);
  return type;
}

PyObject* wrap_cpdag(Cpdag&& cpdag, NameStrs&& strs) {
  return new_instance(causal_cpdag_type(), std::move(cpdag), std::move(strs));
}

}  // namespace morvend::py

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
#include "python/graph_methods.hpp"
#include "python/instance.hpp"
#include "python/names.hpp"
#include "python/pickling.hpp"
#include "python/signal_watch.hpp"

namespace morvend::py {
namespace {

// ---- construction -----------------------------------------------------------

PyObject* cpdag_from_edges(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr const char* kParams[] = {"directed", "undirected"};
  static constexpr ArgSpec kSpec{"CausalCPDAG.from_edges()", kParams, 0};
  PyObject* argv[2];
  if (!parse_args(kSpec, args, nargs, kwnames, argv)) return nullptr;
  EdgesArg directed, undirected;
  if (argv[0] != nullptr && !arg_edges(argv[0], "directed", &directed)) return nullptr;
  if (argv[1] != nullptr && !arg_edges(argv[1], "undirected", &undirected)) return nullptr;
  Cpdag g;
  NameStrs strs;  // each new node keeps the str it was named by
  // The directed edges first: a conflict names the undirected edge.
  const std::pair<const EdgesArg*, Result<void> (Cpdag::*)(NodeId, NodeId)> kinds[] = {
      {&directed, &Cpdag::add_directed_edge}, {&undirected, &Cpdag::add_undirected_edge}};
  for (const auto& [edges, insert] : kinds) {
    Result<void> r = add_named_edges(
        g, insert, edges->edges.size(), [&](std::size_t j) { return edges->end(j).text; },
        [&](std::size_t j, NodeId id) { strs.keep(id, edges->end(j).obj); });
    if (!r) return raise_asv_error(r.error());
  }
  return wrap_cpdag(std::move(g), std::move(strs));
}

// ---- bodies of the methods in the table ---------------------------------------

PyObject* directed_body(const Cpdag& g, NameStrs& strs) {
  return name_pairs_list(strs, g.names(), directed_edge_list(g));
}

PyObject* undirected_body(const Cpdag& g, NameStrs& strs) {
  return name_pairs_list(strs, g.names(), undirected_edge_list(g));
}

PyObject* extension_body(const Cpdag& g, NameStrs& strs) {
  SignalWatch watch;
  Result<Dag> dag = consistent_extension(g);
  if (watch.raise_pending()) return nullptr;
  if (!dag) return raise_asv_error(dag.error());
  // The same names under the same ids: the new graph shares their strs.
  NameStrs dag_strs;
  dag_strs.keep_same(strs, dag->n_nodes());
  return wrap_dag(std::move(*dag), std::move(dag_strs));
}

PyObject* induced_body(const Cpdag& g, std::span<const NodeId> ids, NameStrs&) {
  SignalWatch watch;
  Result<Cpdag> sub = induced_subgraph(g, ids);
  if (watch.raise_pending()) return nullptr;
  if (!sub) return raise_asv_error(sub.error());
  return wrap_cpdag(std::move(*sub));
}

constexpr const char* kDirectedParams[] = {"from_name", "to_name"};
constexpr const char* kUndirectedParams[] = {"a_name", "b_name"};

PyMethodDef cpdag_methods[] = {
    {"from_edges", fastcall<&cpdag_from_edges>(), kFastcall | METH_STATIC,
     "from_edges(directed=..., undirected=...)\n--\n\n"
     "Construct a CPDAG from directed (from, to) and undirected (a, b) edge tuples.\n"
     "Nodes are created automatically."},
    {"nodes", fastcall<&reading<Cpdag, "CausalCPDAG.nodes()", &node_names<Cpdag>>>(), kFastcall,
     "nodes($self)\n--\n\nReturn all node names in insertion order."},
    {"directed_edges",
     fastcall<&reading<Cpdag, "CausalCPDAG.directed_edges()", &directed_body>>(), kFastcall,
     "directed_edges($self)\n--\n\nReturn all directed edges as (from, to) name pairs."},
    {"undirected_edges",
     fastcall<&reading<Cpdag, "CausalCPDAG.undirected_edges()", &undirected_body>>(), kFastcall,
     "undirected_edges($self)\n--\n\n"
     "Return all undirected edges as (a, b) name pairs, `a < b` by `NodeId`."},
    {"add_directed_edge",
     fastcall<&adding_edge<Cpdag, "CausalCPDAG.add_directed_edge()",
                           kDirectedParams, &Cpdag::add_directed_edge>>(),
     kFastcall,
     "add_directed_edge($self, from_name, to_name)\n--\n\n"
     "Add a compelled (directed) edge. Nodes are created automatically."},
    {"add_undirected_edge",
     fastcall<&adding_edge<Cpdag, "CausalCPDAG.add_undirected_edge()",
                           kUndirectedParams, &Cpdag::add_undirected_edge>>(),
     kFastcall,
     "add_undirected_edge($self, a_name, b_name)\n--\n\n"
     "Add an unresolved (undirected) edge. Nodes are created automatically."},
    {"validate_pdag",
     fastcall<&reading<Cpdag, "CausalCPDAG.validate_pdag()",
                       &checked<Cpdag, &Cpdag::validate_pdag>>>(),
     kFastcall,
     "validate_pdag($self)\n--\n\n"
     "Cheap structural validation: the graph is non-empty and its directed edges\n"
     "form no cycle.\n\n"
     "This does not verify full CPDAG validity; see `validate_cpdag()`."},
    {"validate_cpdag",
     fastcall<&reading<Cpdag, "CausalCPDAG.validate_cpdag()", &checked<Cpdag, &validate_cpdag>>>(),
     kFastcall,
     "validate_cpdag($self)\n--\n\n"
     "`validate_pdag()` plus the existence of a consistent DAG extension.\n\n"
     "This does not verify that the directed edges are exactly the compelled edges\n"
     "of a genuine Markov equivalence class."},
    {"consistent_extension",
     fastcall<&reading<Cpdag, "CausalCPDAG.consistent_extension()", &extension_body>>(), kFastcall,
     "consistent_extension($self)\n--\n\n"
     "Construct a consistent DAG extension (Dor-Tarsi / Chickering PDAG-to-DAG\n"
     "algorithm): a CausalDAG with the same nodes in the same order.\n\n"
     "Raises ValueError if no valid extension exists (for example a chordless\n"
     "undirected cycle)."},
    {"strong_d_convex_hull",
     fastcall<&with_names<Cpdag, "CausalCPDAG.strong_d_convex_hull()",
                          &hull_names<Cpdag, &strong_d_convex_hull>>>(),
     kFastcall,
     "strong_d_convex_hull($self, names)\n--\n\n"
     "The strong d-convex hull of `names`: sorted node names.\n\n"
     "The hull is computed in one consistent DAG extension, which is sound because\n"
     "the hull's vertex set is identical across every DAG of the CPDAG's Markov\n"
     "equivalence class."},
    {"induced_subgraph",
     fastcall<&with_names<Cpdag, "CausalCPDAG.induced_subgraph()", &induced_body>>(), kFastcall,
     "induced_subgraph($self, names)\n--\n\n"
     "Return the sub-CPDAG induced by `names`.\n\n"
     "Nodes not listed are dropped along with every edge touching a dropped node;\n"
     "the edge kind (directed or undirected) is preserved for retained pairs."},
    {"to_json", fastcall<&reading<Cpdag, "CausalCPDAG.to_json()", &json_text<Cpdag>>>(), kFastcall,
     "to_json($self)\n--\n\n"
     "Return a JSON string representing the CPDAG.\n\n"
     "Format: {\"nodes\":[\"a\",\"b\"],\"directed_edges\":[{\"from\":\"a\",\"to\":\"b\"}],"
     "\"undirected_edges\":[{\"a\":\"b\",\"b\":\"c\"}]}\n"
     "The text is compact, with object keys in ascending order."},
    {"from_json",
     fastcall<&from_json<Cpdag, "CausalCPDAG.from_json()", &cpdag_from_json, &wrap_cpdag>>(),
     kFastcall | METH_STATIC,
     "from_json(s)\n--\n\n"
     "Construct a CPDAG from a JSON string in the format of `to_json()`.\n\n"
     "The input is parsed as structural JSON (whitespace-insensitive); unknown keys\n"
     "are ignored. Malformed JSON, a top-level value that is not an object, or\n"
     "shapes not matching the documented ones raise ValueError. Arrays and objects\n"
     "may nest at most 128 levels deep; deeper input is malformed JSON."},
    {"__reduce__",
     fastcall<&reduce_graph<Cpdag, "CausalCPDAG.__reduce__()", &cpdag_snapshot>>(), kFastcall,
     "__reduce__($self)\n--\n\n"
     "Pickling support: (CausalCPDAG, (), state), the state a compact, versioned snapshot\n"
     "of the graph (names, ids and every adjacency list in its order)."},
    {"__setstate__",
     fastcall<&setstate_graph<Cpdag, "CausalCPDAG.__setstate__()", &cpdag_from_snapshot>>(),
     kFastcall,
     "__setstate__($self, state)\n--\n\n"
     "Pickling support: fills a new, empty CausalCPDAG from a __reduce__ state.\n\n"
     "Raises ValueError for a corrupted, foreign or newer state, or a graph with nodes."},
    {nullptr, nullptr, 0, nullptr},  // sentinel
};

// ---- type ------------------------------------------------------------------

PyType_Slot cpdag_slots[] = {
    {Py_tp_repr, reinterpret_cast<void*>(&unary_entry<&graph_repr<Cpdag, "CausalCPDAG">>)},
    {Py_tp_doc, const_cast<char*>("CausalCPDAG()\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(&new_entry<&new_graph<Cpdag, "CausalCPDAG.__new__()">>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&instance_dealloc<Cpdag>)},
    {Py_tp_methods, cpdag_methods},
    {0, nullptr},  // sentinel
};

PyType_Spec cpdag_spec = class_layout<Cpdag>("morvend.CausalCPDAG", cpdag_slots);

}  // namespace

PyTypeObject* causal_cpdag_type() { return class_type<&cpdag_spec>(); }

PyObject* wrap_cpdag(Cpdag&& cpdag, NameStrs&& strs) {
  return new_instance(causal_cpdag_type(), std::move(cpdag), std::move(strs));
}

}  // namespace morvend::py

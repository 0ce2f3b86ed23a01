// class CausalDAG:
//     def __new__(cls) -> CausalDAG
//     @staticmethod
//     def from_networkx(g) -> CausalDAG
//     @staticmethod
//     def from_edges(edges: Sequence[tuple[str, str]]) -> CausalDAG
//     def nodes(self) -> list[str]
//     def edges(self) -> list[tuple[str, str]]
//     def to_json(self) -> str
//     @staticmethod
//     def from_json(s: str) -> CausalDAG
//     def to_dot(self) -> str
//     def add_edge(self, from_name: str, to_name: str) -> None
//     def validate(self) -> None
//     def ancestors(self, name: str) -> list[str]
//     def descendants(self, name: str) -> list[str]
//     def topological_layers(self) -> list[list[str]]
//     def inspect(self) -> dict
//     def d_convex_hull(self, names: Sequence[str]) -> list[str]
//     def strong_d_convex_hull(self, names: Sequence[str]) -> list[str]
//     def induced_subgraph(self, names: Sequence[str]) -> CausalDAG
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string>

#include "d_convex/d_convex.hpp"
#include "formats/formats.hpp"
#include "formats/snapshot.hpp"
#include "graph/dag.hpp"
#include "python/arg_convert.hpp"
#include "python/args.hpp"
#include "python/boundary.hpp"
#include "python/classes.hpp"
#include "python/errors.hpp"
#include "python/graph_methods.hpp"
#include "python/instance.hpp"
#include "python/names.hpp"
#include "python/pickling.hpp"
#include "python/py_ref.hpp"
#include "python/results.hpp"
#include "python/signal_watch.hpp"
#include "topo/topo.hpp"

namespace morvend::py {
namespace {

// ---- construction -----------------------------------------------------------

PyObject* dag_from_networkx(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr const char* kParams[] = {"g"};
  static constexpr ArgSpec kSpec{"CausalDAG.from_networkx()", kParams, 1};
  PyObject* argv[1];
  if (!parse_args(kSpec, args, nargs, kwnames, argv)) return nullptr;
  PyRef edges = PyRef::steal(PyObject_CallMethod(argv[0], "edges", nullptr));
  if (!edges) return nullptr;
  PyRef iter = PyRef::steal(PyObject_GetIter(edges.get()));
  if (!iter) return nullptr;
  PyRef index[2] = {PyRef::steal(PyLong_FromLong(0)), PyRef::steal(PyLong_FromLong(1))};
  if (!index[0] || !index[1]) return nullptr;
  Dag g;
  NameStrs strs;
  while (PyRef item = PyRef::steal(PyIter_Next(iter.get()))) {
    PyRef ends[2];
    std::string_view names[2];
    for (int k = 0; k < 2; ++k) {
      ends[k] = PyRef::steal(PyObject_GetItem(item.get(), index[k].get()));
      if (!ends[k]) return nullptr;
      if (!arg_str(ends[k].get(), "g", &names[k])) return nullptr;
    }
    const NodeId from = g.add_node(names[0]);
    strs.keep(from, ends[0].get());
    const NodeId to = g.add_node(names[1]);
    strs.keep(to, ends[1].get());
    if (Result<void> r = g.add_edge(from, to); !r) return raise_asv_error(r.error());
  }
  if (PyErr_Occurred()) return nullptr;
  return wrap_dag(std::move(g), std::move(strs));
}

PyObject* dag_from_edges(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr const char* kParams[] = {"edges"};
  static constexpr ArgSpec kSpec{"CausalDAG.from_edges()", kParams, 1};
  PyObject* argv[1];
  if (!parse_args(kSpec, args, nargs, kwnames, argv)) return nullptr;
  EdgesArg edges;
  if (!arg_edges(argv[0], "edges", &edges)) return nullptr;
  Dag g;
  NameStrs strs;  // each new node keeps the str it was named by
  Result<void> r = add_named_edges(
      g, &Dag::add_edge, edges.edges.size(), [&](std::size_t j) { return edges.end(j).text; },
      [&](std::size_t j, NodeId id) { strs.keep(id, edges.end(j).obj); });
  if (!r) return raise_asv_error(r.error());
  return wrap_dag(std::move(g), std::move(strs));
}

// ---- bodies of the methods in the table ---------------------------------------

PyObject* edges_body(const Dag& g, NameStrs& strs) {
  return name_pairs_list(strs, g.names(), edge_list(g));
}

PyObject* dot_body(const Dag& g, NameStrs&) { return str_from(to_dot(g)); }

// No SignalWatch: Dag::validate does not poll for interrupts.
PyObject* validate_body(const Dag& g, NameStrs&) {
  if (Result<void> r = g.validate(); !r) return raise_asv_error(r.error());
  Py_RETURN_NONE;
}

// reaching: ancestors() and descendants(): one name, the sorted names Reach finds.
template <MethodName Name, std::vector<NodeId> (*Reach)(const Dag&, NodeId)>
PyObject* reaching(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr const char* kParams[] = {"name"};
  static constexpr ArgSpec kSpec{Name.text, kParams, 1};
  PyObject* argv[1];
  if (!parse_args(kSpec, args, nargs, kwnames, argv)) return nullptr;
  std::string_view name;
  if (!arg_str(argv[0], "name", &name)) return nullptr;
  Instance<Dag>* inst = instance_of<Dag>(self);
  SharedBorrow read(inst->borrow);
  if (!read) return nullptr;
  const std::optional<NodeId> id = resolve(inst->value, name);
  if (!id) return nullptr;
  return sorted_names_list(inst->strs, inst->value.names(), Reach(inst->value, *id));
}

PyObject* layers_body(const Dag& g, NameStrs& strs) {
  FlatLayers layers = topological_layers_flat(g);
  return sorted_layers_list(strs, g.names(), layers.ids, layers.starts);
}

PyObject* inspect_body(const Dag& g, NameStrs&) {
  const StructuralSummary s = inspect(g);
  DictBuilder d;
  d.set("n_nodes", PyLong_FromUnsignedLongLong(s.n_nodes))
      .set("n_edges", PyLong_FromUnsignedLongLong(s.n_edges))
      .set("is_dag", PyBool_FromLong(s.is_dag))
      .set("is_rooted_tree", PyBool_FromLong(s.is_rooted_tree))
      .set("n_roots", PyLong_FromUnsignedLongLong(s.n_roots))
      .set("n_leaves", PyLong_FromUnsignedLongLong(s.n_leaves))
      .set("max_depth", PyLong_FromUnsignedLongLong(s.max_depth))
      .set("recommended_method", str_from(s.recommended_method))
      .set_optional("estimated_dense_states", s.estimated_dense_states);
  return d.finish();
}

PyObject* induced_body(const Dag& g, std::span<const NodeId> ids, NameStrs& strs) {
  SignalWatch watch;
  std::vector<NodeId> kept;
  Result<Dag> sub = induced_subgraph(g, ids, &kept);
  if (watch.raise_pending()) return nullptr;
  if (!sub) return raise_asv_error(sub.error());
  NameStrs sub_strs;  // the kept nodes' strs carry over
  sub_strs.keep_from(strs, kept);
  return wrap_dag(std::move(*sub), std::move(sub_strs));
}

constexpr const char* kEdgeParams[] = {"from_name", "to_name"};

PyMethodDef dag_methods[] = {
    {"from_networkx", fastcall<&dag_from_networkx>(), kFastcall | METH_STATIC,
     "from_networkx(g)\n--\n\n"
     "Construct a DAG from any graph object whose `edges()` method returns\n"
     "(from, to) pairs: compatible with networkx `DiGraph` and similar libraries.\n"
     "Nodes of `g` without edges are not taken over."},
    {"from_edges", fastcall<&dag_from_edges>(), kFastcall | METH_STATIC,
     "from_edges(edges)\n--\n\n"
     "Construct a DAG from a list of (from, to) edge tuples.\n"
     "Nodes are created automatically."},
    {"nodes", fastcall<&reading<Dag, "CausalDAG.nodes()", &node_names<Dag>>>(), kFastcall,
     "nodes($self)\n--\n\nReturn all node names in insertion order."},
    {"edges", fastcall<&reading<Dag, "CausalDAG.edges()", &edges_body>>(), kFastcall,
     "edges($self)\n--\n\nReturn all edges as (from, to) name pairs."},
    {"to_json", fastcall<&reading<Dag, "CausalDAG.to_json()", &json_text<Dag>>>(), kFastcall,
     "to_json($self)\n--\n\n"
     "Return a JSON string representing the DAG.\n\n"
     "Format: {\"nodes\":[\"a\",\"b\"],\"edges\":[{\"from\":\"a\",\"to\":\"b\"}]}\n"
     "The text is compact, with object keys in ascending order (so \"edges\" comes first)."},
    {"from_json",
     fastcall<&from_json<Dag, "CausalDAG.from_json()", &dag_from_json, &wrap_dag>>(),
     kFastcall | METH_STATIC,
     "from_json(s)\n--\n\n"
     "Construct a DAG from a JSON string in the format of `to_json()`.\n\n"
     "The input is parsed as structural JSON (whitespace- and formatting-insensitive,\n"
     "matching for example the default output of Python's `json.dumps()`, not only the\n"
     "compact style of `to_json()`). Unknown keys are ignored; nodes listed only in\n"
     "\"nodes\" are added as isolates. Malformed JSON, a top-level value that is not an\n"
     "object, or \"nodes\"/\"edges\" present but not shaped as documented raise\n"
     "ValueError rather than silently producing an empty or partial graph. Arrays and\n"
     "objects may nest at most 128 levels deep; deeper input is malformed JSON."},
    {"to_dot", fastcall<&reading<Dag, "CausalDAG.to_dot()", &dot_body>>(), kFastcall,
     "to_dot($self)\n--\n\nReturn a Graphviz DOT representation of the DAG."},
    {"add_edge",
     fastcall<&adding_edge<Dag, "CausalDAG.add_edge()", kEdgeParams, &Dag::add_edge>>(), kFastcall,
     "add_edge($self, from_name, to_name)\n--\n\n"
     "Add a directed edge. Nodes are created automatically if they do not exist."},
    {"validate", fastcall<&reading<Dag, "CausalDAG.validate()", &validate_body>>(), kFastcall,
     "validate($self)\n--\n\nValidate the graph (check for cycles, empty graph, etc.)."},
    {"ancestors", fastcall<&reaching<"CausalDAG.ancestors()", &ancestors>>(), kFastcall,
     "ancestors($self, name)\n--\n\n"
     "Return sorted ancestor names \xe2\x80\x94 nodes from which `name` is reachable."},
    {"descendants", fastcall<&reaching<"CausalDAG.descendants()", &descendants>>(), kFastcall,
     "descendants($self, name)\n--\n\n"
     "Return sorted descendant names \xe2\x80\x94 nodes reachable from `name`."},
    {"topological_layers",
     fastcall<&reading<Dag, "CausalDAG.topological_layers()", &layers_body>>(), kFastcall,
     "topological_layers($self)\n--\n\n"
     "Return nodes grouped by topological layer (roots in layer 0).\n\n"
     "All nodes in layer k have their parents in layers 0..k."},
    {"inspect", fastcall<&reading<Dag, "CausalDAG.inspect()", &inspect_body>>(), kFastcall,
     "inspect($self)\n--\n\n"
     "Return a structural summary of the graph as a dict with these keys, in order:\n\n"
     "  - \"n_nodes\" (int): number of nodes.\n"
     "  - \"n_edges\" (int): number of edges.\n"
     "  - \"is_dag\" (bool): whether the graph has no directed cycle; always True\n"
     "    for a validated graph.\n"
     "  - \"is_rooted_tree\" (bool): one node without parents, every other node with\n"
     "    exactly one parent, and no cycle.\n"
     "  - \"n_roots\" (int): number of nodes without parents.\n"
     "  - \"n_leaves\" (int): number of nodes without children.\n"
     "  - \"max_depth\" (int): length of the longest root-to-leaf path.\n"
     "  - \"recommended_method\" (str): which method the explainer's `auto` would\n"
     "    pick (\"exact\", \"exact_tree\", \"exact_dag\" or \"approx\").\n"
     "  - \"estimated_dense_states\" (int | None): 2^n_nodes, None if n > 63."},
    {"d_convex_hull",
     fastcall<&with_names<Dag, "CausalDAG.d_convex_hull()", &hull_names<Dag, &d_convex_hull>>>(),
     kFastcall,
     "d_convex_hull($self, names)\n--\n\nThe d-convex hull of `names`: sorted node names."},
    {"strong_d_convex_hull",
     fastcall<&with_names<Dag, "CausalDAG.strong_d_convex_hull()",
                          &hull_names<Dag, &strong_d_convex_hull>>>(),
     kFastcall,
     "strong_d_convex_hull($self, names)\n--\n\n"
     "The strong d-convex hull of `names`: sorted node names.\n\n"
     "This is the minimal set that preserves a causal-effect estimate after\n"
     "marginalizing out every other variable."},
    {"induced_subgraph",
     fastcall<&with_names<Dag, "CausalDAG.induced_subgraph()", &induced_body>>(), kFastcall,
     "induced_subgraph($self, names)\n--\n\nReturn the sub-DAG induced by `names`."},
    {"__reduce__",
     fastcall<&reduce_graph<Dag, "CausalDAG.__reduce__()", &dag_snapshot>>(), kFastcall,
     "__reduce__($self)\n--\n\n"
     "Pickling support: (CausalDAG, (), state), the state a compact, versioned snapshot\n"
     "of the graph (names, ids and every adjacency list in its order)."},
    {"__setstate__",
     fastcall<&setstate_graph<Dag, "CausalDAG.__setstate__()", &dag_from_snapshot>>(), kFastcall,
     "__setstate__($self, state)\n--\n\n"
     "Pickling support: fills a new, empty CausalDAG from a __reduce__ state.\n\n"
     "Raises ValueError for a corrupted, foreign or newer state, or a graph with nodes."},
    {nullptr, nullptr, 0, nullptr},  // sentinel
};

// ---- type ------------------------------------------------------------------

PyType_Slot dag_slots[] = {
    {Py_tp_repr, reinterpret_cast<void*>(&unary_entry<&graph_repr<Dag, "CausalDAG">>)},
    {Py_tp_doc, const_cast<char*>("CausalDAG()\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(&new_entry<&new_graph<Dag, "CausalDAG.__new__()">>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&instance_dealloc<Dag>)},
    {Py_tp_methods, dag_methods},
    {0, nullptr},  // sentinel
};

PyType_Spec dag_spec = class_layout<Dag>("morvend.CausalDAG", dag_slots);

}  // namespace

PyTypeObject* causal_dag_type() { return class_type<&dag_spec>(); }

PyObject* wrap_dag(Dag&& dag, NameStrs&& strs) {
  return new_instance(causal_dag_type(), std::move(dag), std::move(strs));
}

}  // namespace morvend::py

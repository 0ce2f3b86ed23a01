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
#include "python/instance.hpp"
#include "python/names.hpp"
#include "python/names_method.hpp"
#include "python/pickling.hpp"
#include "python/py_ref.hpp"
#include "python/results.hpp"
#include "python/signal_watch.hpp"
#include "topo/topo.hpp"

namespace morvend::py {
namespace {

// ---- instance --------------------------------------------------------------

using DagInstance = Instance<Dag>;

Dag& dag_of(PyObject* self) { return instance_of<Dag>(self)->value; }
BorrowFlag& borrow_of(PyObject* self) { return instance_of<Dag>(self)->borrow; }
NameStrs& strs_of(PyObject* self) { return instance_of<Dag>(self)->strs; }

// ---- lifecycle -------------------------------------------------------------

constexpr const char* kNoParams[] = {"__unused__"};

PyObject* dag_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static constexpr ArgSpec kSpec{"CausalDAG.__new__()", std::span(kNoParams, 0), 0};
  PyObject* argv[1];
  if (!parse_args(kSpec, args, kwargs, argv)) return nullptr;
  return new_instance(type, Dag());
}

// ---- methods ---------------------------------------------------------------

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
  const auto end_at = [&](std::size_t j) -> const NameArg& {
    return j % 2 == 0 ? edges.edges[j / 2].first : edges.edges[j / 2].second;
  };
  NodeId ends[2];
  std::optional<AsvError> refused;
  for_each_hashed(
      g.name_index(), 2 * edges.edges.size(), [&](std::size_t j) { return end_at(j).text; },
      [&](std::size_t j, std::uint64_t hash) {
        const NameArg& name = end_at(j);
        ends[j % 2] = g.add_node(name.text, hash);
        strs.keep(ends[j % 2], name.obj);
        if (j % 2 == 0) return true;
        Result<void> r = g.add_edge(ends[0], ends[1]);
        if (!r) refused = std::move(r.error());
        return r.has_value();
      });
  if (refused) return raise_asv_error(*refused);
  return wrap_dag(std::move(g), std::move(strs));
}

PyObject* dag_nodes(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return reading<Dag>("CausalDAG.nodes()", self, args, nargs, kwnames,
                      [](const Dag& g, NameStrs& strs) { return names_list(strs, g.names()); });
}

PyObject* dag_edges(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return reading<Dag>(
      "CausalDAG.edges()", self, args, nargs, kwnames, [](const Dag& g, NameStrs& strs) {
        std::vector<std::pair<NodeId, NodeId>> pairs;
        pairs.reserve(g.n_edges());
        for (NodeId u = 0; u < g.n_nodes(); ++u) {
          for (NodeId v : g.children(u)) pairs.emplace_back(u, v);
        }
        return name_pairs_list(strs, g.names(), pairs);
      });
}

PyObject* dag_to_json(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return reading<Dag>("CausalDAG.to_json()", self, args, nargs, kwnames,
                      [](const Dag& g, NameStrs&) { return str_from(to_json(g)); });
}

PyObject* dag_from_json(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr const char* kParams[] = {"s"};
  static constexpr ArgSpec kSpec{"CausalDAG.from_json()", kParams, 1};
  PyObject* argv[1];
  if (!parse_args(kSpec, args, nargs, kwnames, argv)) return nullptr;
  std::string_view text;
  if (!arg_str(argv[0], "s", &text)) return nullptr;
  SignalWatch watch;
  ReadResult<Dag> g = morvend::dag_from_json(text);
  if (watch.raise_pending()) return nullptr;
  if (!g) return raise_read_error(g.error());
  return wrap_dag(std::move(*g));
}

PyObject* dag_to_dot(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return reading<Dag>("CausalDAG.to_dot()", self, args, nargs, kwnames,
                      [](const Dag& g, NameStrs&) { return str_from(to_dot(g)); });
}

PyObject* dag_add_edge(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr const char* kParams[] = {"from_name", "to_name"};
  static constexpr ArgSpec kSpec{"CausalDAG.add_edge()", kParams, 2};
  PyObject* argv[2];
  if (!parse_args(kSpec, args, nargs, kwnames, argv)) return nullptr;
  std::string_view from_name, to_name;
  if (!arg_str(argv[0], "from_name", &from_name) || !arg_str(argv[1], "to_name", &to_name)) {
    return nullptr;
  }
  ExclusiveBorrow write(borrow_of(self));
  if (!write) return nullptr;
  Dag& g = dag_of(self);
  // Nodes created here stay even when the edge is refused.
  const NodeId from = g.add_node(from_name);
  const NodeId to = g.add_node(to_name);
  strs_of(self).keep(from, argv[0]);
  strs_of(self).keep(to, argv[1]);
  if (Result<void> r = g.add_edge(from, to); !r) return raise_asv_error(r.error());
  Py_RETURN_NONE;
}

PyObject* dag_validate(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return reading<Dag>(
      "CausalDAG.validate()", self, args, nargs, kwnames, [](const Dag& g, NameStrs&) {
        if (Result<void> r = g.validate(); !r) return raise_asv_error(r.error());
        Py_RETURN_NONE;
      });
}

// Shared body of ancestors() and descendants().
template <std::vector<NodeId> (*Reach)(const Dag&, NodeId)>
PyObject* reach_names(const char* fname, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) {
  static constexpr const char* kParams[] = {"name"};
  const ArgSpec spec{fname, kParams, 1};
  PyObject* argv[1];
  if (!parse_args(spec, args, nargs, kwnames, argv)) return nullptr;
  std::string_view name;
  if (!arg_str(argv[0], "name", &name)) return nullptr;
  SharedBorrow read(borrow_of(self));
  if (!read) return nullptr;
  const Dag& g = dag_of(self);
  const std::optional<NodeId> id = resolve(g, name);
  if (!id) return nullptr;
  return sorted_names_list(strs_of(self), g.names(), Reach(g, *id));
}

PyObject* dag_ancestors(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
  return reach_names<&ancestors>("CausalDAG.ancestors()", self, args, nargs, kwnames);
}

PyObject* dag_descendants(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
  return reach_names<&descendants>("CausalDAG.descendants()", self, args, nargs, kwnames);
}

PyObject* dag_topological_layers(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
  return reading<Dag>(
      "CausalDAG.topological_layers()", self, args, nargs, kwnames,
      [](const Dag& g, NameStrs& strs) {
        FlatLayers layers = topological_layers_flat(g);
        return sorted_layers_list(strs, g.names(), layers.ids, layers.starts);
      });
}

PyObject* dag_inspect(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return reading<Dag>(
      "CausalDAG.inspect()", self, args, nargs, kwnames, [](const Dag& g, NameStrs&) {
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
      });
}

PyObject* dag_d_convex_hull(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
  return with_names<Dag>("CausalDAG.d_convex_hull()", self, args, nargs, kwnames,
                         &hull_names<Dag, &d_convex_hull>);
}

PyObject* dag_strong_d_convex_hull(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) {
  return with_names<Dag>("CausalDAG.strong_d_convex_hull()", self, args, nargs, kwnames,
                         &hull_names<Dag, &strong_d_convex_hull>);
}

PyObject* dag_induced_subgraph(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
  return with_names<Dag>(
      "CausalDAG.induced_subgraph()", self, args, nargs, kwnames,
      [](const Dag& g, std::span<const NodeId> ids, NameStrs& strs) -> PyObject* {
        SignalWatch watch;
        std::vector<NodeId> kept;
        Result<Dag> sub = induced_subgraph(g, ids, &kept);
        if (watch.raise_pending()) return nullptr;
        if (!sub) return raise_asv_error(sub.error());
        NameStrs sub_strs;  // the kept nodes' strs carry over
        sub_strs.keep_from(strs, kept);
        return wrap_dag(std::move(*sub), std::move(sub_strs));
      });
}

static_assert(kMaxJsonDepth == 128, "the from_json docstring states the nesting limit");

constexpr int kFastcall = METH_FASTCALL | METH_KEYWORDS;

// ---- pickling and repr ------------------------------------------------------

PyObject* dag_reduce(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr ArgSpec kSpec{"CausalDAG.__reduce__()", std::span(kNoParams, 0), 0};
  return reduce_graph<Dag>(kSpec, self, args, nargs, kwnames, &dag_snapshot);
}

PyObject* dag_setstate(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr const char* kParams[] = {"state"};
  static constexpr ArgSpec kSpec{"CausalDAG.__setstate__()", kParams, 1};
  return setstate_graph<Dag>(kSpec, self, args, nargs, kwnames, &dag_from_snapshot);
}

PyObject* dag_repr(PyObject* self) {
  SharedBorrow read(borrow_of(self));
  if (!read) return nullptr;
  const Dag& g = dag_of(self);
  const std::pair<const char*, std::size_t> counts[] = {{"node", g.n_nodes()},
                                                        {"edge", g.n_edges()}};
  std::vector<EdgeText> edges;
  if (g.n_edges() <= kReprEdges) {
    for (NodeId u = 0; u < g.n_nodes(); ++u) {
      for (NodeId v : g.children(u)) edges.push_back({u, v, "->"});
    }
  }
  return graph_repr("CausalDAG", counts, edges, strs_of(self), g.names());
}

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
    {"nodes", fastcall<&dag_nodes>(), kFastcall,
     "nodes($self)\n--\n\nReturn all node names in insertion order."},
    {"edges", fastcall<&dag_edges>(), kFastcall,
     "edges($self)\n--\n\nReturn all edges as (from, to) name pairs."},
    {"to_json", fastcall<&dag_to_json>(), kFastcall,
     "to_json($self)\n--\n\n"
     "Return a JSON string representing the DAG.\n\n"
     "Format: {\"nodes\":[\"a\",\"b\"],\"edges\":[{\"from\":\"a\",\"to\":\"b\"}]}\n"
     "The text is compact, with object keys in ascending order (so \"edges\" comes first)."},
    {"from_json", fastcall<&dag_from_json>(), kFastcall | METH_STATIC,
     "from_json(s)\n--\n\n"
     "Construct a DAG from a JSON string in the format of `to_json()`.\n\n"
     "The input is parsed as structural JSON (whitespace- and formatting-insensitive,\n"
     "matching for example the default output of Python's `json.dumps()`, not only the\n"
     "compact style of `to_json()`). Unknown keys are ignored; nodes listed only in\n"
     "\"nodes\" are added as isolates. Malformed JSON, a top-level value that is not an\n"
     "object, or \"nodes\"/\"edges\" present but not shaped as documented raise\n"
     "ValueError rather than silently producing an empty or partial graph. Arrays and\n"
     "objects may nest at most 128 levels deep; deeper input is malformed JSON."},
    {"to_dot", fastcall<&dag_to_dot>(), kFastcall,
     "to_dot($self)\n--\n\nReturn a Graphviz DOT representation of the DAG."},
    {"add_edge", fastcall<&dag_add_edge>(), kFastcall,
     "add_edge($self, from_name, to_name)\n--\n\n"
     "Add a directed edge. Nodes are created automatically if they do not exist."},
    {"validate", fastcall<&dag_validate>(), kFastcall,
     "validate($self)\n--\n\nValidate the graph (check for cycles, empty graph, etc.)."},
    {"ancestors", fastcall<&dag_ancestors>(), kFastcall,
     "ancestors($self, name)\n--\n\n"
     "Return sorted ancestor names \xe2\x80\x94 nodes from which `name` is reachable."},
    {"descendants", fastcall<&dag_descendants>(), kFastcall,
     "descendants($self, name)\n--\n\n"
     "Return sorted descendant names \xe2\x80\x94 nodes reachable from `name`."},
    {"topological_layers", fastcall<&dag_topological_layers>(), kFastcall,
     "topological_layers($self)\n--\n\n"
     "Return nodes grouped by topological layer (roots in layer 0).\n\n"
     "All nodes in layer k have their parents in layers 0..k."},
    {"inspect", fastcall<&dag_inspect>(), kFastcall,
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
    {"d_convex_hull", fastcall<&dag_d_convex_hull>(), kFastcall,
     "d_convex_hull($self, names)\n--\n\nThe d-convex hull of `names`: sorted node names."},
    {"strong_d_convex_hull", fastcall<&dag_strong_d_convex_hull>(), kFastcall,
     "strong_d_convex_hull($self, names)\n--\n\n"
     "The strong d-convex hull of `names`: sorted node names.\n\n"
     "This is the minimal set that preserves a causal-effect estimate after\n"
     "marginalizing out every other variable."},
    {"induced_subgraph", fastcall<&dag_induced_subgraph>(), kFastcall,
     "induced_subgraph($self, names)\n--\n\nReturn the sub-DAG induced by `names`."},
    {"__reduce__", fastcall<&dag_reduce>(), kFastcall,
     "__reduce__($self)\n--\n\n"
     "Pickling support: (CausalDAG, (), state), the state a compact, versioned snapshot\n"
     "of the graph (names, ids and every adjacency list in its order)."},
    {"__setstate__", fastcall<&dag_setstate>(), kFastcall,
     "__setstate__($self, state)\n--\n\n"
     "Pickling support: fills a new, empty CausalDAG from a __reduce__ state.\n\n"
     "Raises ValueError for a corrupted, foreign or newer state, or a graph with nodes."},
    {nullptr, nullptr, 0, nullptr},  // sentinel
};

// ---- type ------------------------------------------------------------------

PyType_Slot dag_slots[] = {
    {Py_tp_repr, reinterpret_cast<void*>(&unary_entry<&dag_repr>)},
    {Py_tp_doc, const_cast<char*>("CausalDAG()\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(&new_entry<&dag_new>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&instance_dealloc<Dag>)},
    {Py_tp_methods, dag_methods},
    {0, nullptr},  // sentinel
};

PyType_Spec dag_spec = {
    .name = "morvend.CausalDAG",
    .basicsize = sizeof(DagInstance),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    .slots = dag_slots,
};

}  // namespace

PyTypeObject* causal_dag_type() {
  static PyTypeObject* type = nullptr;
  if (type == nullptr) type = create_type(&dag_spec);
  return type;
}

PyObject* wrap_dag(Dag&& dag, NameStrs&& strs) {
  return new_instance(causal_dag_type(), std::move(dag), std::move(strs));
}

}  // namespace morvend::py

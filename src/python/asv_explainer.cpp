// class ASVExplainer:
//     def __new__(cls, dag: CausalDAG) -> ASVExplainer
//         # validates dag, then keeps its own frozen copy
//     def explain(self, value_fn=None, method="auto", n_samples=10000, seed=None,
//                 value_fn_batch=None, batch_size=256, parallel=False,
//                 num_threads=None) -> dict[str, float]
//     def explain_with_diagnostics(self, <as explain>) -> dict
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <optional>
#include <string>

#include "asv/dispatch.hpp"
#include "asv/explainer_state.hpp"
#include "python/args.hpp"
#include "python/boundary.hpp"
#include "python/classes.hpp"
#include "python/convert.hpp"
#include "python/gil.hpp"
#include "python/instance.hpp"
#include "python/results.hpp"
#include "python/value_function.hpp"

namespace morvend::py {
namespace {

// ---- instance --------------------------------------------------------------

const ExplainerState& state_of(PyObject* self) {
  return instance_of<ExplainerState>(self)->value;
}
BorrowFlag& borrow_of(PyObject* self) { return instance_of<ExplainerState>(self)->borrow; }

// ---- lifecycle -------------------------------------------------------------

PyObject* explainer_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static constexpr const char* kParams[] = {"dag"};
  static constexpr ArgSpec kSpec{"ASVExplainer.__new__()", kParams, 1};
  PyObject* argv[1];
  if (!parse_args(kSpec, args, kwargs, argv)) return nullptr;
  PyTypeObject* dag_type = causal_dag_type();
  if (dag_type == nullptr || !arg_instance(argv[0], "dag", dag_type, "CausalDAG")) {
    return nullptr;
  }
  Instance<Dag>* dag = instance_of<Dag>(argv[0]);
  SharedBorrow read(dag->borrow);  // for the constructor only: the state is a copy
  if (!read) return nullptr;
  Result<ExplainerState> state = ExplainerState::build(dag->value);
  if (!state) return raise_asv_error(state.error());
  return new_instance(type, std::move(*state));
}

// ---- explain and explain_with_diagnostics ------------------------------------

constexpr const char* kExplainParams[] = {"value_fn", "method",         "n_samples",
                                          "seed",     "value_fn_batch", "batch_size",
                                          "parallel", "num_threads"};

struct ExplainArgs {
  PyObject* value_fn = nullptr;
  std::string_view method = "auto";
  PyObject* value_fn_batch = nullptr;
  SamplingOptions options;
  std::uint64_t batch_size = 256;
};

bool parse_explain(const char* fname, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                   ExplainArgs* out) {
  const ArgSpec spec{fname, kExplainParams, 0};
  PyObject* argv[8];
  if (!parse_args(spec, args, nargs, kwnames, argv)) return false;
  auto given = [](PyObject* obj) { return obj != nullptr && obj != Py_None ? obj : nullptr; };
  out->value_fn = given(argv[0]);
  out->value_fn_batch = given(argv[4]);
  SamplingOptions& o = out->options;
  return (argv[1] == nullptr || arg_str(argv[1], "method", &out->method)) &&
         (argv[2] == nullptr || arg_u64(argv[2], "n_samples", &o.n_samples)) &&
         arg_opt_u64(argv[3], "seed", &o.seed) &&
         (argv[5] == nullptr || arg_u64(argv[5], "batch_size", &out->batch_size)) &&
         (argv[6] == nullptr || arg_bool(argv[6], "parallel", &o.parallel)) &&
         arg_opt_u64(argv[7], "num_threads", &o.num_threads);
}

// run_explain: the steps shared by both methods; nothing with an exception set.
std::optional<AsvResult> run_explain(PyObject* self, const ExplainArgs& a) {
  const ExplainerState& state = state_of(self);
  if (a.value_fn_batch != nullptr) {
    if (a.method != "auto" && a.method != "approx") {
      PyErr_SetString(PyExc_ValueError,
                      "value_fn_batch is only supported for method='approx' or 'auto'");
      return std::nullopt;
    }
    throw InternalFault("the batch path is not built yet");
  }
  if (a.value_fn == nullptr) {
    PyErr_SetString(PyExc_ValueError, "must provide either value_fn or value_fn_batch");
    return std::nullopt;
  }
  const std::optional<Method> method = parse_method(a.method);
  if (!method) {
    const std::string msg = "unknown method '" + std::string(a.method) +
                            "': use 'auto', 'approx', 'exact', 'exact_tree', 'exact_dag', "
                            "'exact_dag_sparse', or 'uniform_sparse'";
    PyRef text = PyRef::steal(str_from(msg));
    if (text) PyErr_SetObject(PyExc_ValueError, text.get());
    return std::nullopt;
  }
  PyValueFunction fn(a.value_fn, state.names());
  if (!fn.ok()) return std::nullopt;
  SamplingOptions options = a.options;
  options.batch_size.reset();
  Result<AsvResult> result;
  {
    GilRelease unlocked;
    LeaseEnd end_lease(fn);
    result = dispatch_method(state, *method, fn, options);
  }
  if (fn.restore_interrupt()) return std::nullopt;
  if (!result) {
    raise_asv_error(result.error());
    return std::nullopt;
  }
  return std::move(*result);
}

PyObject* explainer_explain(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
  ExplainArgs a;
  if (!parse_explain("ASVExplainer.explain()", args, nargs, kwnames, &a)) return nullptr;
  SharedBorrow read(borrow_of(self));
  if (!read) return nullptr;
  std::optional<AsvResult> r = run_explain(self, a);
  if (!r) return nullptr;
  return node_dict(state_of(self).names(), r->values);
}

PyObject* explainer_explain_with_diagnostics(PyObject* self, PyObject* const* args,
                                             Py_ssize_t nargs, PyObject* kwnames) {
  ExplainArgs a;
  if (!parse_explain("ASVExplainer.explain_with_diagnostics()", args, nargs, kwnames, &a)) {
    return nullptr;
  }
  SharedBorrow read(borrow_of(self));
  if (!read) return nullptr;
  std::optional<AsvResult> r = run_explain(self, a);
  if (!r) return nullptr;
  const SamplingOptions& o = a.options;
  DictBuilder d;
  d.set("values", node_dict(state_of(self).names(), r->values))
      .set_optional("ess", r->ess)
      .set_optional("ess_ratio", ess_ratio(*r))
      .set("n_samples", PyLong_FromUnsignedLongLong(r->n_samples))
      .set_optional("seed", r->seed)
      .set("is_exact", PyBool_FromLong(r->is_exact))
      .set("method", str_from(a.method))
      .set("parallel", PyBool_FromLong(o.parallel))
      .set_optional("num_threads", o.num_threads)
      .set("deterministic", PyBool_FromLong(o.parallel && o.seed.has_value()))
      .set_optional("n_order_ideals", r->n_order_ideals)
      .set_optional("state_ratio", r->state_ratio)
      .set_optional("memory_mb", r->memory_mb)
      .set_optional("fallback_from", r->fallback_from)
      .set_optional("fallback_reason", r->fallback_reason)
      .set("selected_method", str_from(r->selected_method ? *r->selected_method
                                                          : std::string(a.method)));
  return d.finish();
}

constexpr int kFastcall = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef explainer_methods[] = {
    {"explain", fastcall<&explainer_explain>(), kFastcall,
     "explain($self, value_fn=None, method=\"auto\", n_samples=10000, seed=None, "
     "value_fn_batch=None, batch_size=256, parallel=False, num_threads=None)\n--\n\n"
     "Compute ASV values.\n\n"
     "Returns a `dict[str, float]` mapping node name to its ASV value.\n"
     "Pass `value_fn_batch` to amortize Python GIL overhead over `batch_size` samples per "
     "call.\n"
     "Set `parallel=True` with a `seed` for deterministic parallel sampling."},
    {"explain_with_diagnostics", fastcall<&explainer_explain_with_diagnostics>(), kFastcall,
     "explain_with_diagnostics($self, value_fn=None, method=\"auto\", n_samples=10000, "
     "seed=None, value_fn_batch=None, batch_size=256, parallel=False, num_threads=None)\n--\n\n"
     "Compute ASV values with diagnostics.\n\n"
     "Returns a dict with keys:\n"
     "  - `\"values\"`: dict[str, float] \xe2\x80\x94 ASV per node\n"
     "  - `\"ess\"`: float | None \xe2\x80\x94 effective sample size (approx only)\n"
     "  - `\"n_samples\"`: int \xe2\x80\x94 orderings used\n"
     "  - `\"is_exact\"`: bool\n"
     "  - `\"parallel\"`: bool \xe2\x80\x94 whether parallel sampling was used\n"
     "  - `\"num_threads\"`: int | None \xe2\x80\x94 worker count for seeded parallel\n"
     "  - `\"deterministic\"`: bool \xe2\x80\x94 True when seed + parallel \xe2\x86\x92 "
     "per-worker seeds\n\n"
     "Pass `value_fn_batch` to amortize Python GIL overhead over `batch_size` samples per "
     "call."},
    {nullptr, nullptr, 0, nullptr},  // sentinel
};

// ---- type ------------------------------------------------------------------

PyType_Slot explainer_slots[] = {
    {Py_tp_doc, const_cast<char*>("ASVExplainer(dag)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(&new_entry<&explainer_new>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&instance_dealloc<ExplainerState>)},
    {Py_tp_methods, explainer_methods},
    {0, nullptr},  // sentinel
};

PyType_Spec explainer_spec = {
    "morvend.ASVExplainer",
    sizeof(Instance<ExplainerState>),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    explainer_slots,
};

}  // namespace

PyTypeObject* asv_explainer_type() {
  static PyTypeObject* type = nullptr;
  if (type == nullptr) type = create_type(&explainer_spec);
  return type;
}

}  // namespace morvend::py

// class ASVExplainer:
//     def __new__(cls, dag: CausalDAG) -> ASVExplainer
//         # validates dag, then keeps its own frozen copy
//     def explain(self, value_fn=None, method="auto", n_samples=10000, seed=None,
//                 value_fn_batch=None, batch_size=256, parallel=False,
//                 num_threads=None) -> dict[str, float]
//     def explain_with_diagnostics(self, <as explain>) -> dict
//     def explain_quality(self, value_fn, min_samples=1000, max_samples=100000,
//                         batch_size=1000, rel_tol=0.01, seed=None, ci=None) -> dict
//     def explain_adaptive(self, value_fn, min_samples=1000, max_samples=100000,
//                          batch_size=1000, rel_tol=0.01, ess_ratio_min=0.10,
//                          seed=None, ci=None, method="approx") -> dict
//     def explain_quality_batch(self, value_fn_batch, <as explain_quality>) -> dict
//     def explain_adaptive_batch(self, value_fn_batch, min_samples=1000,
//                                max_samples=100000, batch_size=1000, rel_tol=0.01,
//                                ess_ratio_min=0.10, seed=None) -> dict
//     def explain_within(self, value_fn=None, max_calls=10000, seed=None,
//                        value_fn_batch=None, batch_size=4096, ci=None,
//                        progress=False) -> dict
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <iterator>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "asv/explainer_state.hpp"
#include "asv/refusals.hpp"
#include "budget/within.hpp"
#include "dispatch/dispatch.hpp"
#include "dispatch/policy.hpp"
#include "graph/method_names.hpp"
#include "python/arg_convert.hpp"
#include "python/args.hpp"
#include "python/boundary.hpp"
#include "python/classes.hpp"
#include "python/errors.hpp"
#include "python/gil.hpp"
#include "python/instance.hpp"
#include "python/pickling.hpp"
#include "python/progress.hpp"
#include "python/py_ref.hpp"
#include "python/results.hpp"
#include "python/signal_watch.hpp"
#include "python/value_function.hpp"

namespace morvend::py {
namespace {

// ---- instance --------------------------------------------------------------

const ExplainerState& state_of(PyObject* self) { return instance_of<ExplainerState>(self)->value; }
BorrowFlag& borrow_of(PyObject* self) { return instance_of<ExplainerState>(self)->borrow; }
// The strs of the node names, all made by the constructor.
std::span<PyObject* const> names_of(PyObject* self) {
  const auto* inst = instance_of<ExplainerState>(self);
  return {inst->strs.data(), inst->value.n_nodes()};
}

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
  // The copy keeps the DAG's names and ids, so it shares their strs; every
  // coalition and result dict is then built from them without decoding.
  if (!dag->strs.fill(dag->value.names())) return nullptr;
  NameStrs strs;
  strs.keep_same(dag->strs, state->n_nodes());
  return new_instance(type, std::move(*state), std::move(strs));
}

// ---- pickling and repr ------------------------------------------------------

// The frozen copy as a new CausalDAG, with the same strs.
PyObject* frozen_dag(PyObject* self) {
  Instance<ExplainerState>* inst = instance_of<ExplainerState>(self);
  NameStrs strs;
  strs.keep_same(inst->strs, inst->value.n_nodes());
  return wrap_dag(Dag(inst->value.graph()), std::move(strs));
}

PyObject* explainer_reduce(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
  static constexpr ArgSpec kSpec{"ASVExplainer.__reduce__()", {}, 0};
  if (!parse_args(kSpec, args, nargs, kwnames, nullptr)) return nullptr;
  SharedBorrow read(borrow_of(self));
  if (!read) return nullptr;
  PyRef dag = PyRef::steal(frozen_dag(self));
  if (!dag) return nullptr;
  return Py_BuildValue("(O(O))", reinterpret_cast<PyObject*>(Py_TYPE(self)), dag.get());
}

// The counts only: an explainer is not a graph to read edges from.
PyObject* explainer_repr(PyObject* self) {
  Instance<ExplainerState>* inst = instance_of<ExplainerState>(self);
  const Dag& g = inst->value.graph();
  return repr_text(repr_pieces("ASVExplainer", g, /*with_edges=*/false), inst->strs, g.names());
}

// ---- explain and explain_with_diagnostics ------------------------------------

constexpr const char* kExplainParams[] = {"value_fn", "method",         "n_samples",
                                          "seed",     "value_fn_batch", "batch_size",
                                          "parallel", "num_threads"};

struct ExplainArgs {
  PyObject* value_fn = nullptr;
  std::string_view method = method_name::kAuto;
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
  return arg_into(argv[1], "method", &out->method) &&
         arg_into(argv[2], "n_samples", &o.n_samples) && arg_into(argv[3], "seed", &o.seed) &&
         arg_into(argv[5], "batch_size", &out->batch_size) &&
         arg_into(argv[6], "parallel", &o.parallel) &&
         arg_into(argv[7], "num_threads", &o.num_threads);
}

// RunWatch: set up before every run. Threads of the run park instead of
// unwinding when the interpreter exits under them, and Ctrl-C stops the run.
// REQUIRES: the GIL. Check ok() afterwards (false: exception set).
class RunWatch {
 public:
  RunWatch() : ok_(watch_interpreter_exit()) {}
  bool ok() const { return ok_; }
  SignalWatch& signals() { return signals_; }

 private:
  bool ok_;
  SignalWatch signals_;
};

// Whether the engine runs without the GIL (each value-function call takes it).
enum class Gil { kReleased, kHeld };

// run: the sequence every explain method shares once its arguments are
// parsed: borrow the state, watch the run, wrap the value function (Fn is
// PyValueFunction or PyBatchValueFunction), run engine(state, fn) with or
// without the GIL, then build(state, result) -- or raise: the user's own
// exception when it is not an Exception, a signal handler's exception, else
// ValueError.
template <class Fn, class Engine, class Build>
PyObject* run(PyObject* self, PyObject* value_fn, Gil gil, Engine engine, Build build) {
  SharedBorrow read(borrow_of(self));
  if (!read) return nullptr;
  const ExplainerState& state = state_of(self);
  RunWatch watch;
  if (!watch.ok()) return nullptr;
  Fn fn(value_fn, names_of(self));
  Result<AsvResult> result;
  {
    std::optional<GilRelease> unlocked;
    if (gil == Gil::kReleased) unlocked.emplace();
    // The lease ends before the GIL is taken back.
    LeaseEnd<Fn> end_lease(fn);
    result = engine(state, fn);
  }
  if (fn.restore_interrupt()) return nullptr;
  if (watch.signals().raise_pending()) return nullptr;
  if (!result) return raise_asv_error(result.error());
  return build(state, *result);
}

constexpr const char* kNoValueFunction = "must provide either value_fn or value_fn_batch";

// passed: true when `check` passed, else false with a ValueError of its
// detail: the option checks' texts reach users without the error's prefix.
template <class T>
bool passed(const Result<T>& check) {
  if (!check) raise_value_error(check.error().detail());
  return check.has_value();
}

// run_explain: explain() and explain_with_diagnostics() with `build`.
template <class Build>
PyObject* run_explain(PyObject* self, const ExplainArgs& a, Build build) {
  if (a.value_fn_batch != nullptr) {
    if (!passed(check_batch_method(a.method))) return nullptr;
    const SamplingOptions options{
        .n_samples = a.options.n_samples, .seed = a.options.seed, .batch_size = a.batch_size};
    return run<PyBatchValueFunction>(
        self, a.value_fn_batch, Gil::kHeld,
        [&](const ExplainerState& state, PyBatchValueFunction& fn) {
          return dispatch_batch(state, fn, options);
        },
        build);
  }
  if (a.value_fn == nullptr) return raise_value_error(kNoValueFunction);
  const Result<Method> method = method_named(a.method);
  if (!passed(method)) return nullptr;
  SamplingOptions options = a.options;
  options.batch_size.reset();
  return run<PyValueFunction>(
      self, a.value_fn, Gil::kReleased,
      [&](const ExplainerState& state, PyValueFunction& fn) {
        return dispatch_method(state, *method, fn, options);
      },
      build);
}

using Names = std::span<PyObject* const>;

// The first keys of every result dict but explain()'s, up to "is_exact".
void head_keys(DictBuilder& d, Names names, const AsvResult& r) {
  d.set("values", node_dict(names, r.values))
      .set_optional("ess", r.ess)
      .set_optional("ess_ratio", r.ess_ratio())
      .set("n_samples", PyLong_FromUnsignedLongLong(r.n_samples))
      .set_optional("seed", r.seed)
      .set("is_exact", PyBool_FromLong(r.is_exact));
}

PyObject* explainer_explain(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
  ExplainArgs a;
  if (!parse_explain("ASVExplainer.explain()", args, nargs, kwnames, &a)) return nullptr;
  return run_explain(self, a, [self](const ExplainerState&, const AsvResult& r) {
    return node_dict(names_of(self), r.values);
  });
}

PyObject* explainer_explain_with_diagnostics(PyObject* self, PyObject* const* args,
                                             Py_ssize_t nargs, PyObject* kwnames) {
  ExplainArgs a;
  if (!parse_explain("ASVExplainer.explain_with_diagnostics()", args, nargs, kwnames, &a)) {
    return nullptr;
  }
  return run_explain(self, a, [self, &a](const ExplainerState&, const AsvResult& r) {
    const SamplingOptions& o = a.options;
    DictBuilder d;
    head_keys(d, names_of(self), r);
    d.set("method", str_from(a.method))
        .set("parallel", PyBool_FromLong(o.parallel))
        .set_optional("num_threads", o.num_threads)
        .set("deterministic", PyBool_FromLong(o.deterministic()))
        .set_optional("n_order_ideals", r.n_order_ideals)
        .set_optional("state_ratio", r.state_ratio)
        .set_optional("memory_mb", r.memory_mb)
        .set_optional("fallback_from", r.fallback_from)
        .set_optional("fallback_reason", r.fallback_reason)
        .set("selected_method",
             str_from(r.selected_method ? *r.selected_method : std::string(a.method)));
    return d.finish();
  });
}

// ---- the adaptive and quality methods --------------------------------------

struct AdaptiveArgs {
  PyObject* value_fn = nullptr;  // either form, as passed (None included)
  AdaptiveOptions options;
  std::optional<double> ci;
  std::string_view method = method_name::kApprox;
};

// The optional parameters of the adaptive family, each with the field it
// fills; an omitted one keeps the field's default.
struct AdaptiveParam {
  std::string_view name;
  bool (*read)(PyObject* value, const char* name, AdaptiveArgs& out);
};

template <auto Field>
bool into_options(PyObject* value, const char* name, AdaptiveArgs& out) {
  return arg_into(value, name, &(out.options.*Field));
}
template <auto Field>
bool into_args(PyObject* value, const char* name, AdaptiveArgs& out) {
  return arg_into(value, name, &(out.*Field));
}

constexpr AdaptiveParam kAdaptiveParams[] = {
    {"min_samples", into_options<&AdaptiveOptions::min_samples>},
    {"max_samples", into_options<&AdaptiveOptions::max_samples>},
    {"batch_size", into_options<&AdaptiveOptions::batch_size>},
    {"rel_tol", into_options<&AdaptiveOptions::rel_tol>},
    {"ess_ratio_min", into_options<&AdaptiveOptions::ess_ratio_min>},
    {"seed", into_options<&AdaptiveOptions::seed>},
    {"ci", into_args<&AdaptiveArgs::ci>},
    {"method", into_args<&AdaptiveArgs::method>},
};

// parse_adaptive: the shared parameters. `params` lists them in order, the
// value function first; the others are read by their row of kAdaptiveParams.
bool parse_adaptive(const ArgSpec& spec, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    AdaptiveArgs* out) {
  PyObject* argv[std::size(kAdaptiveParams) + 1];
  if (!parse_args(spec, args, nargs, kwnames, argv)) return false;
  out->value_fn = argv[0];
  for (std::size_t i = 1; i < spec.params.size(); ++i) {
    for (const AdaptiveParam& p : kAdaptiveParams) {
      if (p.name == spec.params[i] && !p.read(argv[i], spec.params[i], *out)) return false;
    }
  }
  return passed(check_ci_level(out->ci));
}

// The keys of an estimate's dict: the first ones, {key: method}, "converged"
// and "stderr", the fallback when asked for, then the interval when asked for.
void estimate_keys(DictBuilder& d, Names names, const AsvResult& r, const char* key,
                   std::string_view method, const std::optional<double>& ci, bool with_fallback) {
  head_keys(d, names, r);
  d.set(key, str_from(method))
      .set("converged", r.converged ? PyBool_FromLong(*r.converged) : Py_NewRef(Py_None))
      .set("stderr", r.stderr_values ? node_dict(names, *r.stderr_values) : PyDict_New());
  if (with_fallback) {
    d.set_optional("fallback_from", r.fallback_from)
        .set_optional("fallback_reason", r.fallback_reason);
  }
  if (ci) {
    const AsvResult::Interval interval = r.interval(*ci);
    d.set("ci", PyFloat_FromDouble(*ci))
        .set("ci_low", node_dict(names, interval.low))
        .set("ci_high", node_dict(names, interval.high));
  }
}

// quality_dict: with "selected_method" and the fallback; adaptive_dict: with
// "method".
PyObject* quality_dict(Names names, const AsvResult& r, std::string_view selected,
                       const std::optional<double>& ci) {
  DictBuilder d;
  estimate_keys(d, names, r, "selected_method", selected, ci, /*with_fallback=*/true);
  return d.finish();
}

PyObject* adaptive_dict(Names names, const AsvResult& r, std::string_view method,
                        const std::optional<double>& ci) {
  DictBuilder d;
  estimate_keys(d, names, r, "method", method, ci, /*with_fallback=*/false);
  return d.finish();
}

PyObject* explainer_explain_quality(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames) {
  static constexpr const char* kParams[] = {"value_fn", "min_samples", "max_samples", "batch_size",
                                            "rel_tol",  "seed",        "ci"};
  static constexpr ArgSpec kSpec{"ASVExplainer.explain_quality()", kParams, 1};
  AdaptiveArgs a;
  a.options.ess_ratio_min = 0.0;
  if (!parse_adaptive(kSpec, args, nargs, kwnames, &a)) return nullptr;
  return run<PyValueFunction>(
      self, a.value_fn, Gil::kHeld,
      [&](const ExplainerState& state, PyValueFunction& fn) {
        return select_auto_quality(state, fn, a.options);
      },
      [&](const ExplainerState&, const AsvResult& r) {
        return quality_dict(names_of(self), r,
                            r.selected_method.value_or(method_name::kAutoQuality), a.ci);
      });
}

PyObject* explainer_explain_adaptive(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                     PyObject* kwnames) {
  static constexpr const char* kParams[] = {"value_fn",   "min_samples", "max_samples",
                                            "batch_size", "rel_tol",     "ess_ratio_min",
                                            "seed",       "ci",          "method"};
  static constexpr ArgSpec kSpec{"ASVExplainer.explain_adaptive()", kParams, 1};
  AdaptiveArgs a;
  if (!parse_adaptive(kSpec, args, nargs, kwnames, &a)) return nullptr;
  const Result<AdaptiveMethod> method = adaptive_method_named(a.method);
  if (!passed(method)) return nullptr;
  return run<PyValueFunction>(
      self, a.value_fn, Gil::kHeld,
      [&](const ExplainerState& state, PyValueFunction& fn) {
        return dispatch_adaptive(state, *method, fn, a.options);
      },
      [&](const ExplainerState&, const AsvResult& r) {
        return adaptive_dict(names_of(self), r, adaptive_method_name(*method), a.ci);
      });
}

PyObject* explainer_explain_quality_batch(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                          PyObject* kwnames) {
  static constexpr const char* kParams[] = {
      "value_fn_batch", "min_samples", "max_samples", "batch_size", "rel_tol", "seed", "ci"};
  static constexpr ArgSpec kSpec{"ASVExplainer.explain_quality_batch()", kParams, 1};
  AdaptiveArgs a;
  a.options.ess_ratio_min = 0.0;
  if (!parse_adaptive(kSpec, args, nargs, kwnames, &a)) return nullptr;
  return run<PyBatchValueFunction>(
      self, a.value_fn, Gil::kHeld,
      [&](const ExplainerState& state, PyBatchValueFunction& fn) {
        return select_quality_batch(state, fn, a.options);
      },
      [&](const ExplainerState&, const AsvResult& r) {
        return quality_dict(names_of(self), r, r.selected_method.value_or(""), a.ci);
      });
}

PyObject* explainer_explain_adaptive_batch(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                           PyObject* kwnames) {
  static constexpr const char* kParams[] = {
      "value_fn_batch", "min_samples",   "max_samples", "batch_size",
      "rel_tol",        "ess_ratio_min", "seed"};
  static constexpr ArgSpec kSpec{"ASVExplainer.explain_adaptive_batch()", kParams, 1};
  AdaptiveArgs a;
  if (!parse_adaptive(kSpec, args, nargs, kwnames, &a)) return nullptr;
  return run<PyBatchValueFunction>(
      self, a.value_fn, Gil::kHeld,
      [&](const ExplainerState& state, PyBatchValueFunction& fn) {
        return dispatch_adaptive_batch(state, fn, a.options);
      },
      [&](const ExplainerState&, const AsvResult& r) {
        return adaptive_dict(names_of(self), r, method_name::kApproxAdaptiveBatch, std::nullopt);
      });
}

constexpr int kFastcall = METH_FASTCALL | METH_KEYWORDS;

// ---- explain_within ----------------------------------------------------------

struct WithinArgs {
  PyObject* value_fn = nullptr;  // nullptr when omitted or None
  PyObject* value_fn_batch = nullptr;
  WithinOptions options;
  std::uint64_t batch_size = WithinOptions{}.batch_size;
  std::optional<double> ci;
  bool progress = false;
};

// parse_within: the arguments converted, then checked in a fixed order.
bool parse_within(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, WithinArgs* out) {
  static constexpr const char* kParams[] = {"value_fn",   "max_calls", "seed",    "value_fn_batch",
                                            "batch_size", "ci",        "progress"};
  static constexpr ArgSpec kSpec{"ASVExplainer.explain_within()", kParams, 0};
  PyObject* argv[7];
  if (!parse_args(kSpec, args, nargs, kwnames, argv)) return false;
  out->value_fn = argv[0] == Py_None ? nullptr : argv[0];
  out->value_fn_batch = argv[3] == Py_None ? nullptr : argv[3];
  if (!arg_into(argv[1], "max_calls", &out->options.max_calls) ||
      !arg_into(argv[2], "seed", &out->options.seed) ||
      !arg_into(argv[4], "batch_size", &out->batch_size) || !arg_into(argv[5], "ci", &out->ci) ||
      !arg_into(argv[6], "progress", &out->progress)) {
    return false;
  }
  if (!passed(check_within(out->options.max_calls, out->batch_size, out->ci))) return false;
  if (out->value_fn == nullptr && out->value_fn_batch == nullptr) {
    raise_value_error(kNoValueFunction);
    return false;
  }
  // Checked now: a run may work for minutes before its first call. Only the
  // form that will be called (the batch form when both are given).
  return out->value_fn_batch != nullptr ? arg_callable(out->value_fn_batch, "value_fn_batch")
                                        : arg_callable(out->value_fn, "value_fn");
}

PyObject* explain_within_impl(PyObject* self, WithinArgs& a) {
  // Before the progress bar: a budget below one ordering is refused at once.
  if (Result<void> r = covers_one_order(state_of(self).n_nodes(), a.options.max_calls); !r) {
    return raise_asv_error(r.error());
  }
  a.options.batch_size = static_cast<std::size_t>(a.batch_size);
  std::optional<ProgressBar> bar;
  if (a.progress) {
    bar.emplace(a.options.max_calls);
    a.options.progress = &*bar;
  }
  std::uint64_t calls = 0;
  auto engine = [&](const ExplainerState& state, auto& fn) -> Result<AsvResult> {
    Result<WithinResult> r = explain_within(state, fn, a.options);
    if (!r) return std::unexpected(std::move(r.error()));
    calls = r->calls;
    return std::move(r->result);
  };
  auto build = [&](const ExplainerState&, const AsvResult& r) {
    const std::string method = r.selected_method.value_or("");
    DictBuilder d;
    estimate_keys(d, names_of(self), r, "selected_method", method, a.ci, /*with_fallback=*/false);
    d.set("calls", PyLong_FromUnsignedLongLong(calls)).set("method", str_from(method));
    return d.finish();
  };
  // Without the GIL, like explain(): value calls and the bar take it.
  if (a.value_fn_batch != nullptr) {
    return run<PyBatchValueFunction>(self, a.value_fn_batch, Gil::kReleased, engine, build);
  }
  return run<PyValueFunction>(self, a.value_fn, Gil::kReleased, engine, build);
}

PyObject* explainer_explain_within(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) {
  WithinArgs a;
  if (!parse_within(args, nargs, kwnames, &a)) return nullptr;
  return explain_within_impl(self, a);
}

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
    {"explain_quality", fastcall<&explainer_explain_quality>(), kFastcall,
     "explain_quality($self, value_fn, min_samples=1000, max_samples=100000, batch_size=1000, "
     "rel_tol=0.01, seed=None, ci=None)\n--\n\n"
     "Quality-first one-stop entry point: exact when feasible, uniform sparse adaptive\n"
     "otherwise. Always returns stderr and ci_low/ci_high when ci is set.\n\n"
     "Uses `auto_quality` dispatch under the hood \xe2\x80\x94 the same as `explain_adaptive` "
     "but\n"
     "exact methods are tried first and the approximate fallback has ESS = n_samples."},
    {"explain_adaptive", fastcall<&explainer_explain_adaptive>(), kFastcall,
     "explain_adaptive($self, value_fn, min_samples=1000, max_samples=100000, batch_size=1000, "
     "rel_tol=0.01, ess_ratio_min=0.10, seed=None, ci=None, method=\"approx\")\n--\n\n"
     "Adaptive approximate ASV: runs sampling in batches until convergence or max_samples.\n\n"
     "Returns a dict with keys: values, ess, ess_ratio, n_samples, seed, is_exact,\n"
     "method, converged, stderr.\n\n"
     "When `ci` is set (e.g. `ci=0.95`), also returns `ci_low`, `ci_high` using a\n"
     "normal approximation: value \xc2\xb1 \xce\xa6\xe2\x81\xbb\xc2\xb9((1+ci)/2) "
     "\xc3\x97 stderr."},
    {"explain_quality_batch", fastcall<&explainer_explain_quality_batch>(), kFastcall,
     "explain_quality_batch($self, value_fn_batch, min_samples=1000, max_samples=100000, "
     "batch_size=1000, rel_tol=0.01, seed=None, ci=None)\n--\n\n"
     "Adaptive batched approximate ASV: same convergence logic as `explain_adaptive`\n"
     "but calls `value_fn_batch(list[list[str]]) -> list[float]` once per sampling batch.\n\n"
     "Each sampling batch of `batch_size` samples becomes one Python function call,\n"
     "reducing GIL acquisition overhead for large models.\n"
     "Quality-first batched ASV: like `explain_quality` but accepts a batch value function.\n\n"
     "Routes `n \xe2\x89\xa4 63` to uniform sparse adaptive batch sampling (ESS = n_samples, "
     "no IS\n"
     "variance). Falls back to IS-adaptive batch for `n > 63`. Returns the same dict keys\n"
     "as `explain_quality`: values, stderr, ess, ess_ratio, n_samples, seed, is_exact,\n"
     "selected_method, converged, fallback_from, fallback_reason, and optionally "
     "ci/ci_low/ci_high."},
    {"explain_adaptive_batch", fastcall<&explainer_explain_adaptive_batch>(), kFastcall,
     "explain_adaptive_batch($self, value_fn_batch, min_samples=1000, max_samples=100000, "
     "batch_size=1000, rel_tol=0.01, ess_ratio_min=0.10, seed=None)\n--\n\n"},
    {"explain_within", fastcall<&explainer_explain_within>(), kFastcall,
     "explain_within($self, value_fn=None, max_calls=10000, seed=None, value_fn_batch=None, "
     "batch_size=4096, ci=None, progress=False)\n--\n\n"
     "ASV within a budget of `max_calls` distinct coalitions (repeats never count).\n\n"
     "Exact when the DAG's order ideals fit the budget, at any size (`method`\n"
     "\"exact_ideals\", `is_exact` True, `stderr` zero); otherwise an estimate with\n"
     "standard errors (`is_exact` False): marginal contributions averaged over uniform\n"
     "random orderings, with a cross-fitted pairwise surrogate whose ASV is exact as\n"
     "control variate (`method` \"surrogate_residual\"); on a DAG without edges,\n"
     "coalitions drawn by size with their complements instead (`method`\n"
     "\"paired_strata\"); below 40 orderings' worth of calls, a sparse surrogate\n"
     "fitted to prefixes of orderings, whose ASV needs no call (`method`\n"
     "\"surrogate_fit\", `stderr` NaN). An estimate's `stderr` is NaN for a node when\n"
     "fewer than 40 independent replicates give no honest error, and on a DAG without\n"
     "edges below 20n calls (n nodes), where the surrogates' own values, without the\n"
     "noise of a correction, are returned; its `ci_low` and `ci_high` are then NaN\n"
     "too. Either form of value function; with\n"
     "`value_fn_batch`, at most `batch_size` coalitions per call. `progress=True` shows\n"
     "calls used against the budget (tqdm when installed, else a line on stderr).\n"
     "Runs without the GIL, like `explain`: other Python threads keep running.\n\n"
     "Returns a dict with keys values, ess, ess_ratio, n_samples, seed, is_exact,\n"
     "selected_method, converged, stderr, calls (coalitions evaluated) and method;\n"
     "with `ci`, also ci, ci_low and ci_high."},
    {"__reduce__", fastcall<&explainer_reduce>(), kFastcall,
     "__reduce__($self)\n--\n\n"
     "Pickling support: (ASVExplainer, (dag,)), dag a CausalDAG of the explainer's own\n"
     "frozen copy, so an explainer rebuilt from it explains exactly as this one."},
    {nullptr, nullptr, 0, nullptr},  // sentinel
};

// ---- type ------------------------------------------------------------------

PyType_Slot explainer_slots[] = {
    {Py_tp_repr, reinterpret_cast<void*>(&unary_entry<&explainer_repr>)},
    {Py_tp_doc, const_cast<char*>("ASVExplainer(dag)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(&new_entry<&explainer_new>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&instance_dealloc<ExplainerState>)},
    {Py_tp_methods, explainer_methods},
    {0, nullptr},  // sentinel
};

PyType_Spec explainer_spec = class_layout<ExplainerState>("morvend.ASVExplainer", explainer_slots);

}  // namespace

PyTypeObject* asv_explainer_type() { return class_type<&explainer_spec>(); }

}  // namespace morvend::py

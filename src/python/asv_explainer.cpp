// class ASVExplainer:
//     def __new__(cls, dag: CausalDAG) -> ASVExplainer
//         # validates dag, then keeps its own frozen copy
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "asv/explainer_state.hpp"
#include "python/args.hpp"
#include "python/boundary.hpp"
#include "python/classes.hpp"
#include "python/convert.hpp"
#include "python/instance.hpp"

namespace morvend::py {
namespace {

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

// ---- type ------------------------------------------------------------------

PyType_Slot explainer_slots[] = {
    {Py_tp_doc, const_cast<char*>("ASVExplainer(dag)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(&new_entry<&explainer_new>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&instance_dealloc<ExplainerState>)},
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

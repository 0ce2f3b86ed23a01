// The module object: multi-phase initialisation with an execution slot that
// registers the three classes, in order, with __all__, and a slot that keeps
// the module out of sub-interpreters (the worker pool and the exit watch serve
// one interpreter for the life of the process). Nothing else happens at
// import: no thread is started and no state is built.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "python/boundary.hpp"
#include "python/classes.hpp"
#include "python/py_ref.hpp"
#include "python/type_names.hpp"

namespace morvend::py {
namespace {

// register_class: appends `name` to __all__ (creating the list if needed),
// then sets the module attribute `name` to the class.
int register_class(PyObject* module, const char* name, PyTypeObject* type) {
  if (type == nullptr) return -1;
  PyObject* dict = PyModule_GetDict(module);  // borrowed
  PyRef key = PyRef::steal(PyUnicode_InternFromString("__all__"));
  if (!key) return -1;
  PyRef all = PyRef::borrow(PyDict_GetItemWithError(dict, key.get()));
  if (!all) {
    if (PyErr_Occurred()) return -1;
    all = PyRef::steal(PyList_New(0));
    if (!all || PyDict_SetItem(dict, key.get(), all.get()) < 0) return -1;
  }
  PyRef text = PyRef::steal(PyUnicode_FromString(name));
  if (!text || PyList_Append(all.get(), text.get()) < 0) return -1;
  return PyModule_AddObjectRef(module, name, reinterpret_cast<PyObject*>(type));
}

int exec_module(PyObject* module) noexcept {
  try {
    // A legacy sub-interpreter passes the slot's check: refuse it here. The
    // main interpreter is the one with ID 0.
    if (PyInterpreterState_GetID(PyInterpreterState_Get()) != 0) {
      PyErr_SetString(PyExc_ImportError,
                      "module morvend does not support loading in subinterpreters");
      return -1;
    }
    if (!PyModule_Check(module)) {
      PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to 'module'",
                   c_type_name(Py_TYPE(module)).c_str());
      return -1;
    }
    if (register_class(module, "CausalDAG", causal_dag_type()) < 0) return -1;
    if (register_class(module, "CausalCPDAG", causal_cpdag_type()) < 0) return -1;
    if (register_class(module, "ASVExplainer", asv_explainer_type()) < 0) return -1;
    // Not in __all__: a module attribute, as in other packages.
    if (PyModule_AddStringConstant(module, "__version__", MORVEND_VERSION) < 0) return -1;
    return 0;
  } catch (...) {
    translate_exception();
    return -1;
  }
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&exec_module)},
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {0, nullptr},  // sentinel
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "morvend",
    "Asymmetric Shapley values over causal DAGs.\n\n"
    "Build a CausalDAG, wrap it in an ASVExplainer and call one of its explain\n"
    "methods with a value function that scores coalitions of node names.",
    0,        // no per-module state
    nullptr,  // no module-level functions
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace morvend::py

PyMODINIT_FUNC PyInit_morvend(void) { return PyModuleDef_Init(&morvend::py::module_def); }

// class CausalCPDAG:
//     def __new__(cls) -> CausalCPDAG
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "cpdag/cpdag.hpp"
#include "python/args.hpp"
#include "python/boundary.hpp"
#include "python/classes.hpp"
#include "python/instance.hpp"

namespace morvend::py {
namespace {

// ---- lifecycle -------------------------------------------------------------

constexpr const char* kNoParams[] = {"__unused__"};

PyObject* cpdag_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static constexpr ArgSpec kSpec{"CausalCPDAG.__new__()", std::span(kNoParams, 0), 0};
  if (!parse_args(kSpec, args, kwargs, nullptr)) return nullptr;
  return new_instance(type, Cpdag());
}

// ---- type ------------------------------------------------------------------

PyType_Slot cpdag_slots[] = {
    {Py_tp_doc, const_cast<char*>("CausalCPDAG()\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(&new_entry<&cpdag_new>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&instance_dealloc<Cpdag>)},
    {0, nullptr},  // sentinel
};

PyType_Spec cpdag_spec = {
    "morvend.CausalCPDAG",
    sizeof(Instance<Cpdag>),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    cpdag_slots,
};

}  // namespace

PyTypeObject* causal_cpdag_type() {
  static PyTypeObject* type = nullptr;
  if (type == nullptr) type = create_type(&cpdag_spec);
  return type;
}

PyObject* wrap_cpdag(Cpdag&& cpdag) { return new_instance(causal_cpdag_type(), std::move(cpdag)); }

}  // namespace morvend::py

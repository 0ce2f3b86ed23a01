// The three classes of the module. Each type object is created on first use
// and kept for the life of the process.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "asv/explainer_state.hpp"
#include "cpdag/cpdag.hpp"
#include "graph/dag.hpp"
#include "python/names.hpp"

namespace morvend::py {

// nullptr with an exception set if the type cannot be created.
PyTypeObject* causal_dag_type();
PyTypeObject* causal_cpdag_type();
PyTypeObject* asv_explainer_type();

// New instances holding a freshly built value and the strs already made for
// its names; nullptr with an exception set.
PyObject* wrap_dag(Dag&& dag, NameStrs&& strs = NameStrs());
PyObject* wrap_cpdag(Cpdag&& cpdag, NameStrs&& strs = NameStrs());

}  // namespace morvend::py

// Type names for the messages the binding composes. Under the stable ABI the
// type object is opaque, so its C-level name (tp_name, which the interpreter's
// own messages print) is rebuilt from __module__ and __name__.
//
//   PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to 'PyBytes'",
//                c_type_name(Py_TYPE(arg)).c_str());
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string>

namespace morvend::py {

// short_type_name: the type's __name__ ("int", "ndarray", "CausalCPDAG");
// "?" when even that cannot be had (no memory).
std::string short_type_name(PyTypeObject* type);

// c_type_name: the type's C-level name as the interpreter prints it: bare for
// builtins and classes defined in Python ("int", "Point"), "<module>.<name>"
// for an extension's types ("numpy.ndarray", "re.Pattern"), and the bare name
// for this module's three classes. NOTE: a mutable heap type made in C under
// a dotted name (pybind11's) shows bare.
std::string c_type_name(PyTypeObject* type);

}  // namespace morvend::py

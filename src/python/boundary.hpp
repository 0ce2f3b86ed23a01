// The method boundary: every C++ exception that reaches a Python entry point
// becomes a Python exception here, never unwinds into the interpreter.
//
//   InternalFault, other std::exception -> the internal-fault exception
//                                          (a BaseException subclass)
//   std::bad_alloc                      -> MemoryError
//   a fault while translating a fault   -> the process ends with
//                                          "uncaught panic at ffi boundary"
//
//   {"nodes", fastcall<&nodes_impl>(), METH_FASTCALL | METH_KEYWORDS, kNodesDoc}
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cassert>

namespace morvend::py {

// internal_fault_type: the internal-fault exception class, created once per
// process; nullptr with an exception set if it cannot be created.
PyObject* internal_fault_type();

// translate_exception: converts the exception being handled; returns nullptr.
PyObject* translate_exception() noexcept;

using FastcallImpl = PyObject* (*)(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames);
using NewImpl = PyObject* (*)(PyTypeObject* type, PyObject* args, PyObject* kwargs);

// boundary_call: runs `impl`, an implementation's call; an exception
// becomes a Python exception here.
template <class Impl>
PyObject* boundary_call(Impl impl) noexcept {
  try {
    PyObject* result = impl();
    assert(result != nullptr || PyErr_Occurred());
    return result;
  } catch (...) {
    return translate_exception();
  }
}

template <FastcallImpl Impl>
PyObject* fastcall_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) noexcept {
  return boundary_call([&] { return Impl(self, args, nargs, kwnames); });
}

// fastcall: the entry point of a METH_FASTCALL | METH_KEYWORDS method, as
// PyMethodDef wants it.
template <FastcallImpl Impl>
PyCFunction fastcall() {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&fastcall_entry<Impl>));
}

using UnaryImpl = PyObject* (*)(PyObject* self);

// unary_entry: a one-argument slot (tp_repr) around an implementation.
template <UnaryImpl Impl>
PyObject* unary_entry(PyObject* self) noexcept {
  return boundary_call([&] { return Impl(self); });
}

// new_entry: the tp_new slot around an implementation.
template <NewImpl Impl>
PyObject* new_entry(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
  return boundary_call([&] { return Impl(type, args, kwargs); });
}

}  // namespace morvend::py

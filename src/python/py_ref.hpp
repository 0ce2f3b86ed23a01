// PyRef: an owned reference to a Python object, released on scope exit.
//
// Gives every method wrapper a single, leak-free return path. REQUIRES the
// GIL wherever a PyRef is created, reset or destroyed.
//
//   PyRef list = PyRef::steal(PyList_New(0));
//   if (!list) return nullptr;          // exception already set
//   return list.release();              // hand the reference to the caller
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace morvend::py {

class PyRef {
 public:
  PyRef() = default;
  // steal: takes over a new reference (nullptr allowed).
  static PyRef steal(PyObject* obj) { return PyRef(obj); }
  // borrow: takes a new reference to a borrowed one.
  static PyRef borrow(PyObject* obj) { return PyRef(Py_XNewRef(obj)); }

  PyRef(PyRef&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
  PyRef& operator=(PyRef&& other) noexcept {
    PyObject* old = std::exchange(obj_, std::exchange(other.obj_, nullptr));
    Py_XDECREF(old);
    return *this;
  }
  PyRef(const PyRef&) = delete;  // copies would hide reference-count changes
  PyRef& operator=(const PyRef&) = delete;
  ~PyRef() { Py_XDECREF(obj_); }

  PyObject* get() const { return obj_; }
  PyObject* release() { return std::exchange(obj_, nullptr); }
  explicit operator bool() const { return obj_ != nullptr; }

 private:
  explicit PyRef(PyObject* obj) : obj_(obj) {}
  PyObject* obj_ = nullptr;
};

}  // namespace morvend::py

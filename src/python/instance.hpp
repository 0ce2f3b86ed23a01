// Instance<T>: the layout shared by the three classes (one native value, its
// borrow flag and the Python strs of its node names), their lifecycle, and
// type creation from a spec.
//
//   PyObject* obj = new_instance(causal_dag_type(), std::move(dag));
//   Dag& g = instance_value<Dag>(obj);
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <new>
#include <type_traits>
#include <utility>

#include "python/borrow.hpp"
#include "python/names.hpp"

namespace morvend::py {

template <class T>
struct Instance {
  PyObject_HEAD BorrowFlag borrow;
  T value;
  // The strs of value's node names, made as they are needed. Strs hold no
  // references, so the instance needs no GC support.
  NameStrs strs;
};

template <class T>
Instance<T>* instance_of(PyObject* obj) {
  return reinterpret_cast<Instance<T>*>(obj);
}

// new_instance: allocates an instance of `type` and moves `value` (and the
// strs already made for its names) into it.
template <class T>
PyObject* new_instance(PyTypeObject* type, T&& value, NameStrs&& strs = NameStrs()) {
  static_assert(std::is_nothrow_move_constructible_v<std::remove_cvref_t<T>>,
                "a half-built instance could not be released safely");
  if (type == nullptr) return nullptr;
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  PyObject* obj = alloc(type, 0);
  if (obj == nullptr) return nullptr;
  auto* inst = instance_of<std::remove_cvref_t<T>>(obj);
  new (&inst->borrow) BorrowFlag();
  new (&inst->value) std::remove_cvref_t<T>(std::forward<T>(value));
  new (&inst->strs) NameStrs(std::move(strs));
  return obj;
}

template <class T>
void instance_dealloc(PyObject* obj) {
  PyTypeObject* type = Py_TYPE(obj);
  auto* inst = instance_of<T>(obj);
  inst->strs.~NameStrs();
  inst->value.~T();
  inst->borrow.~BorrowFlag();
  reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free))(obj);
  Py_DECREF(type);  // heap types are owned by their instances
}

// create_type: builds a class from a spec named "morvend.<Name>": its
// __name__ and __qualname__ are "<Name>", its __module__ "morvend". nullptr
// with an exception set on failure.
PyTypeObject* create_type(PyType_Spec* spec);

// class_layout: the PyType_Spec of the class `name` ("morvend.<Name>") whose
// instances are Instance<T>: immutable, and closed to subclasses.
template <class T>
constexpr PyType_Spec class_layout(const char* name, PyType_Slot* slots) {
  return {
      .name = name,
      .basicsize = sizeof(Instance<T>),
      .itemsize = 0,
      .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
      .slots = slots,
  };
}

// class_type: the class made from *Layout on first use, kept for the life of
// the process; nullptr with an exception set if it cannot be made.
template <PyType_Spec* Layout>
PyTypeObject* class_type() {
  static PyTypeObject* type = nullptr;
  if (type == nullptr) type = create_type(Layout);
  return type;
}

}  // namespace morvend::py

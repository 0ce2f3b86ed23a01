#include "python/arg_convert.hpp"

#include "python/errors.hpp"
#include "python/type_names.hpp"

namespace morvend::py {
namespace {

// The __name__ of the object's type ("int", "CausalCPDAG").
std::string short_type_name(PyObject* obj) { return py::short_type_name(Py_TYPE(obj)); }

bool fail_with_note(const char* param) {
  add_conversion_note(param);
  return false;
}

bool type_error(PyObject* obj, const char* target, const char* param) {
  PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to '%s'",
               short_type_name(obj).c_str(), target);
  return fail_with_note(param);
}

// A sequence that is not a str, as a fast (list or tuple) sequence.
bool sequence_of(PyObject* obj, const char* param, PyRef* fast) {
  if (PyUnicode_Check(obj)) {
    PyErr_SetString(PyExc_TypeError, kStrNotASequence);
    return fail_with_note(param);
  }
  if (!PySequence_Check(obj)) return type_error(obj, "Sequence", param);
  *fast = PyRef::steal(PySequence_Fast(obj, "expected a sequence"));
  if (!*fast) return fail_with_note(param);
  return true;
}

}  // namespace

PyObject* fast_item(PyObject* fast, Py_ssize_t i) {
  return PyList_Check(fast) ? PyList_GetItem(fast, i) : PyTuple_GetItem(fast, i);
}

void add_conversion_note(const char* param) {
  PyObject* exc = PyErr_GetRaisedException();
  if (exc == nullptr) return;
  PyRef note = PyRef::steal(PyUnicode_FromFormat("while processing '%s'", param));
  PyRef done = note ? PyRef::steal(PyObject_CallMethod(exc, "add_note", "O", note.get())) : PyRef();
  // A failed note must not replace the conversion error itself.
  if (!done) PyErr_Clear();
  PyErr_SetRaisedException(exc);
}

bool utf8_view(PyObject* obj, std::string_view* out) {
  if (!PyUnicode_Check(obj)) {
    PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to 'str'",
                 short_type_name(obj).c_str());
    return false;
  }
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(obj, &size);
  if (data == nullptr) return false;
  *out = std::string_view(data, static_cast<std::size_t>(size));
  return true;
}

bool arg_str(PyObject* obj, const char* param, std::string_view* out) {
  if (!utf8_view(obj, out)) return fail_with_note(param);
  return true;
}

bool arg_u64(PyObject* obj, const char* param, std::uint64_t* out) {
  PyRef index = PyRef::steal(PyNumber_Index(obj));
  if (!index) return fail_with_note(param);
  const unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    return fail_with_note(param);
  }
  *out = value;
  return true;
}

bool arg_opt_u64(PyObject* obj, const char* param, std::optional<std::uint64_t>* out) {
  if (obj == nullptr || obj == Py_None) {
    *out = std::nullopt;
    return true;
  }
  std::uint64_t value;
  if (!arg_u64(obj, param, &value)) return false;
  *out = value;
  return true;
}

bool arg_bool(PyObject* obj, const char* param, bool* out) {
  // numpy's bool scalar is accepted too: it is what comparisons on arrays give.
  bool accepted = PyBool_Check(obj);
  if (!accepted) {
    const std::string name = c_type_name(Py_TYPE(obj));
    accepted = name == "numpy.bool_" || name == "numpy.bool";
  }
  if (accepted) {
    const int truth = PyObject_IsTrue(obj);
    if (truth < 0) return fail_with_note(param);
    *out = truth == 1;
    return true;
  }
  return type_error(obj, "bool", param);
}

bool arg_f64(PyObject* obj, const char* param, double* out) {
  const double value = PyFloat_AsDouble(obj);
  if (value == -1.0 && PyErr_Occurred()) return fail_with_note(param);
  *out = value;
  return true;
}

bool arg_opt_f64(PyObject* obj, const char* param, std::optional<double>* out) {
  if (obj == nullptr || obj == Py_None) {
    *out = std::nullopt;
    return true;
  }
  double value;
  if (!arg_f64(obj, param, &value)) return false;
  *out = value;
  return true;
}

bool arg_callable(PyObject* obj, const char* param) {
  if (PyCallable_Check(obj)) return true;
  PyErr_Format(PyExc_TypeError, "'%s' object is not callable", short_type_name(obj).c_str());
  return fail_with_note(param);
}

bool arg_instance(PyObject* obj, const char* param, PyTypeObject* type, const char* class_name) {
  if (PyObject_TypeCheck(obj, type)) return true;
  if (obj == Py_None) {
    PyErr_Format(PyExc_TypeError, "'None' is not an instance of '%s'", class_name);
  } else {
    PyErr_Format(PyExc_TypeError, "'%s' object is not an instance of '%s'",
                 short_type_name(obj).c_str(), class_name);
  }
  return fail_with_note(param);
}

bool arg_names(PyObject* obj, const char* param, NamesArg* out) {
  if (!sequence_of(obj, param, &out->holder)) return false;
  const Py_ssize_t n = PySequence_Size(out->holder.get());
  out->names.resize(static_cast<std::size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* item = fast_item(out->holder.get(), i);
    if (item == nullptr || !utf8_view(item, &out->names[i])) return fail_with_note(param);
  }
  return true;
}

bool arg_edges(PyObject* obj, const char* param, EdgesArg* out) {
  if (!sequence_of(obj, param, &out->holder)) return false;
  const Py_ssize_t n = PySequence_Size(out->holder.get());
  out->edges.resize(static_cast<std::size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* item = fast_item(out->holder.get(), i);
    if (item == nullptr) return fail_with_note(param);
    if (!PyTuple_Check(item)) return type_error(item, "tuple", param);
    if (PyTuple_Size(item) != 2) {
      PyErr_Format(PyExc_ValueError, "expected tuple of length 2, but got tuple of length %zd",
                   PyTuple_Size(item));
      return fail_with_note(param);
    }
    for (int k = 0; k < 2; ++k) {
      NameArg& end = k == 0 ? out->edges[i].first : out->edges[i].second;
      end.obj = PyTuple_GetItem(item, k);
      if (!utf8_view(end.obj, &end.text)) return fail_with_note(param);
    }
  }
  return true;
}

}  // namespace morvend::py

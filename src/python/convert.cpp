#include "python/convert.hpp"

#include <algorithm>
#include <cstring>

namespace morvend::py {
namespace {

const char* type_name(PyObject* obj) { return Py_TYPE(obj)->tp_name; }

// The __name__ of the object's type ("int", "CausalCPDAG").
std::string short_type_name(PyObject* obj) {
  PyRef name = PyRef::steal(PyType_GetName(Py_TYPE(obj)));
  std::string_view view;
  if (!name || !utf8_view(name.get(), &view)) {
    PyErr_Clear();
    return type_name(obj);
  }
  return std::string(view);
}

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
    PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
    return fail_with_note(param);
  }
  if (!PySequence_Check(obj)) return type_error(obj, "Sequence", param);
  *fast = PyRef::steal(PySequence_Fast(obj, "expected a sequence"));
  if (!*fast) return fail_with_note(param);
  return true;
}

}  // namespace

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
  const char* name = type_name(obj);
  if (PyBool_Check(obj) || std::strcmp(name, "numpy.bool_") == 0 ||
      std::strcmp(name, "numpy.bool") == 0) {
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
  const Py_ssize_t n = PySequence_Fast_GET_SIZE(out->holder.get());
  PyObject** items = PySequence_Fast_ITEMS(out->holder.get());
  out->names.resize(static_cast<std::size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    if (!utf8_view(items[i], &out->names[i])) return fail_with_note(param);
  }
  return true;
}

bool arg_edges(PyObject* obj, const char* param, EdgesArg* out) {
  if (!sequence_of(obj, param, &out->holder)) return false;
  const Py_ssize_t n = PySequence_Fast_GET_SIZE(out->holder.get());
  PyObject** items = PySequence_Fast_ITEMS(out->holder.get());
  out->edges.resize(static_cast<std::size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* item = items[i];
    if (!PyTuple_Check(item)) return type_error(item, "tuple", param);
    if (PyTuple_GET_SIZE(item) != 2) {
      PyErr_Format(PyExc_ValueError, "expected tuple of length 2, but got tuple of length %zd",
                   PyTuple_GET_SIZE(item));
      return fail_with_note(param);
    }
    if (!utf8_view(PyTuple_GET_ITEM(item, 0), &out->edges[i].first) ||
        !utf8_view(PyTuple_GET_ITEM(item, 1), &out->edges[i].second)) {
      return fail_with_note(param);
    }
  }
  return true;
}

PyObject* str_from(std::string_view text) {
  return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "strict");
}

namespace {

// list_of: a list of `count` new items from make(i); nullptr when one fails.
template <class Make>
PyObject* list_of(std::size_t count, Make&& make) {
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(count)));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < count; ++i) {
    PyObject* item = make(i);
    if (item == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return list.release();
}

}  // namespace

PyObject* names_list(std::span<const std::string> names) {
  return list_of(names.size(), [&](std::size_t i) { return str_from(names[i]); });
}

PyObject* name_pairs_list(std::span<const std::string> names,
                          std::span<const std::pair<NodeId, NodeId>> pairs) {
  return list_of(pairs.size(), [&](std::size_t i) -> PyObject* {
    PyRef first = PyRef::steal(str_from(names[pairs[i].first]));
    PyRef second = PyRef::steal(str_from(names[pairs[i].second]));
    if (!first || !second) return nullptr;
    return PyTuple_Pack(2, first.get(), second.get());
  });
}

PyObject* sorted_names_list(std::span<const std::string> names, std::vector<NodeId> ids) {
  // std::string compares bytes as unsigned char, which is code point order
  // for UTF-8 and so Python's own order of str.
  std::sort(ids.begin(), ids.end(), [&](NodeId a, NodeId b) { return names[a] < names[b]; });
  return list_of(ids.size(), [&](std::size_t i) { return str_from(names[ids[i]]); });
}

PyObject* raise_asv_error(const AsvError& error) {
  // A computation stopped without an exception of its own to show (the run it
  // served was interrupted): the user pressed Ctrl-C somewhere up the line.
  if (error.kind() == AsvError::Kind::kInterrupted) {
    PyErr_SetNone(PyExc_KeyboardInterrupt);
    return nullptr;
  }
  return raise_value_error(error.message());
}

PyObject* raise_read_error(const std::string& message) {
  // The readers report failures as text; a stopped read is an interruption.
  if (message == AsvError::interrupted().message()) return raise_asv_error(AsvError::interrupted());
  return raise_value_error(message);
}

PyObject* raise_value_error(std::string_view message) {
  PyRef text = PyRef::steal(
      PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
  if (text) PyErr_SetObject(PyExc_ValueError, text.get());
  return nullptr;
}

}  // namespace morvend::py

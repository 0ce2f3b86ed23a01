// Argument converters shared by the three classes: Python objects to the
// plain values the methods hand to the core.
//
// Each arg_* converter takes the parameter name; on failure it returns false
// with the conversion's own exception set and a note "while processing
// '<parameter>'" attached. Optional converters treat nullptr (omitted) and
// None alike.
//
//   std::string_view name;
//   if (!arg_str(argv[0], "name", &name)) return nullptr;
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "python/py_ref.hpp"

namespace morvend::py {

// fast_item: item i of what PySequence_Fast returned (a list or a tuple),
// borrowed; nullptr with IndexError set when the list has shrunk below i.
PyObject* fast_item(PyObject* fast, Py_ssize_t i);

// add_conversion_note: attaches "while processing '<param>'" to the current exception.
void add_conversion_note(const char* param);

// utf8_view: the UTF-8 text of a str, valid while `obj` lives. False with an
// exception set when `obj` is not a str or cannot be encoded (lone surrogates).
bool utf8_view(PyObject* obj, std::string_view* out);

bool arg_str(PyObject* obj, const char* param, std::string_view* out);
bool arg_u64(PyObject* obj, const char* param, std::uint64_t* out);
bool arg_opt_u64(PyObject* obj, const char* param, std::optional<std::uint64_t>* out);
bool arg_bool(PyObject* obj, const char* param, bool* out);
bool arg_f64(PyObject* obj, const char* param, double* out);
bool arg_opt_f64(PyObject* obj, const char* param, std::optional<double>* out);

// arg_into: the converter for the type of *out, for a parameter with a
// default: an omitted one (nullptr) leaves *out as it is; an optional one
// becomes none when omitted or None.
inline bool arg_into(PyObject* obj, const char* param, std::uint64_t* out) {
  return obj == nullptr || arg_u64(obj, param, out);
}
inline bool arg_into(PyObject* obj, const char* param, double* out) {
  return obj == nullptr || arg_f64(obj, param, out);
}
inline bool arg_into(PyObject* obj, const char* param, bool* out) {
  return obj == nullptr || arg_bool(obj, param, out);
}
inline bool arg_into(PyObject* obj, const char* param, std::string_view* out) {
  return obj == nullptr || arg_str(obj, param, out);
}
inline bool arg_into(PyObject* obj, const char* param, std::optional<std::uint64_t>* out) {
  return arg_opt_u64(obj, param, out);
}
inline bool arg_into(PyObject* obj, const char* param, std::optional<double>* out) {
  return arg_opt_f64(obj, param, out);
}

// arg_callable: `obj` must be callable ("'int' object is not callable", the
// text calling it would raise).
bool arg_callable(PyObject* obj, const char* param);

// arg_instance: `obj` must be an instance of `type`; the message names
// `class_name` ("'X' object is not an instance of 'CausalDAG'").
bool arg_instance(PyObject* obj, const char* param, PyTypeObject* type, const char* class_name);

// A sequence of str (not a str itself). The views point into the items,
// which `holder` keeps alive.
struct NamesArg {
  PyRef holder;
  std::vector<std::string_view> names;
};
bool arg_names(PyObject* obj, const char* param, NamesArg* out);

// A name as given: its UTF-8 text and the str itself (borrowed from the
// holder), which a new node keeps as its Python name.
struct NameArg {
  std::string_view text;
  PyObject* obj;
};

// A sequence (not a str) of 2-tuples of str.
struct EdgesArg {
  PyRef holder;
  std::vector<std::pair<NameArg, NameArg>> edges;

  // end: the name at 2k (the first of edge k) or 2k + 1 (its second).
  const NameArg& end(std::size_t j) const {
    return j % 2 == 0 ? edges[j / 2].first : edges[j / 2].second;
  }
};
bool arg_edges(PyObject* obj, const char* param, EdgesArg* out);

}  // namespace morvend::py

// Argument converters and result builders shared by the three classes.
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

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "graph/asv_error.hpp"
#include "python/py_ref.hpp"

namespace morvend::py {

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

// A sequence (not a str) of 2-tuples of str.
struct EdgesArg {
  PyRef holder;
  std::vector<std::pair<std::string_view, std::string_view>> edges;
};
bool arg_edges(PyObject* obj, const char* param, EdgesArg* out);

// Result builders; each returns a new reference or nullptr with an exception set.
PyObject* str_from(std::string_view text);
PyObject* names_list(std::span<const std::string> names);
// name_pairs_list: a list of (name, name) tuples, one per pair of ids.
PyObject* name_pairs_list(std::span<const std::string> names,
                          std::span<const std::pair<NodeId, NodeId>> pairs);
// sorted_names_list: the names of `ids` in ascending UTF-8 byte order.
PyObject* sorted_names_list(std::span<const std::string> names, std::vector<NodeId> ids);

// raise_asv_error: ValueError with the error's full message (KeyboardInterrupt for
// an interrupted computation); returns nullptr.
PyObject* raise_asv_error(const AsvError& error);

// raise_read_error: ValueError with a JSON reader's failure message
// (KeyboardInterrupt for a read that was stopped); returns nullptr.
PyObject* raise_read_error(const std::string& message);

// raise_value_error: ValueError with `message`; bytes that are not UTF-8 (a
// parser may quote a partial character) show as U+FFFD. Returns nullptr.
PyObject* raise_value_error(std::string_view message);

// resolve: the id of `name` in `g` (a Dag or a Cpdag), or nothing with a
// ValueError "unknown node: <name>".
template <class Graph>
std::optional<NodeId> resolve(const Graph& g, std::string_view name) {
  std::optional<NodeId> id = g.node_id(name);
  if (!id) raise_value_error("unknown node: " + std::string(name));
  return id;
}

// resolve_names: the ids of `names` in order (repeats kept), or nothing with
// the ValueError of the first unknown name.
template <class Graph>
std::optional<std::vector<NodeId>> resolve_names(const Graph& g, const NamesArg& names) {
  std::vector<NodeId> ids;
  ids.reserve(names.names.size());
  for (std::string_view name : names.names) {
    const std::optional<NodeId> id = resolve(g, name);
    if (!id) return std::nullopt;
    ids.push_back(*id);
  }
  return ids;
}

}  // namespace morvend::py

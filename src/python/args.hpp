// The shared argument parser: matches positional and keyword arguments to a
// method's parameters and raises the module's fixed TypeError messages.
//
// Every parameter may be given by position or by keyword; the first
// `required` parameters must be given. Values come back borrowed, nullptr for
// an omitted parameter; converters (arg_convert.hpp) treat None like omission
// where the default is None.
//
//   static constexpr const char* kParams[] = {"from_name", "to_name"};
//   static constexpr ArgSpec kSpec{"CausalDAG.add_edge()", kParams, 2};
//   PyObject* argv[2];
//   if (!parse_args(kSpec, args, nargs, kwnames, argv)) return nullptr;
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <cstddef>
#include <span>

namespace morvend::py {

struct ArgSpec {
  const char* fname;                    // as shown in messages: "Class.method()"
  std::span<const char* const> params;  // in declaration order
  std::size_t required;                 // the first `required` params are required
};

// MethodName: the `fname` of a method written as a template (see
// graph_methods.hpp), given as a string literal template argument.
template <std::size_t N>
struct MethodName {
  consteval MethodName(const char (&name)[N]) { std::copy_n(name, N, text); }
  char text[N];
};

// parse_args (vectorcall form): fills out[0 .. params.size()). False with a
// TypeError set on a surplus, unknown, duplicated or missing argument.
bool parse_args(const ArgSpec& spec, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                PyObject** out);

// parse_args (tuple and dict form, for tp_new).
bool parse_args(const ArgSpec& spec, PyObject* args, PyObject* kwargs, PyObject** out);

}  // namespace morvend::py

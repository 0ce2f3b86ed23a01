#include "python/args.hpp"

#include <string>
#include <vector>

namespace morvend::py {
namespace {

void too_many_positional(const ArgSpec& spec, Py_ssize_t given) {
  const std::size_t most = spec.params.size();
  std::string msg = spec.fname;
  if (spec.required == most) {
    msg += " takes " + std::to_string(most);
  } else {
    msg += " takes from " + std::to_string(spec.required) + " to " + std::to_string(most);
  }
  msg += " positional arguments but " + std::to_string(given) + (given == 1 ? " was" : " were") +
         " given";
  PyErr_SetString(PyExc_TypeError, msg.c_str());
}

void missing_required(const ArgSpec& spec, PyObject** out) {
  std::vector<const char*> missing;
  for (std::size_t i = 0; i < spec.required; ++i) {
    if (out[i] == nullptr) missing.push_back(spec.params[i]);
  }
  std::string list;
  for (std::size_t i = 0; i < missing.size(); ++i) {
    if (i > 0) {
      if (missing.size() == 2) {
        list += " and ";
      } else {
        list += i + 1 == missing.size() ? ", and " : ", ";
      }
    }
    list += '\'';
    list += missing[i];
    list += '\'';
  }
  std::string msg = std::string(spec.fname) + " missing " + std::to_string(missing.size()) +
                    " required positional argument" + (missing.size() == 1 ? "" : "s") + ": " +
                    list;
  PyErr_SetString(PyExc_TypeError, msg.c_str());
}

// Places one keyword argument; false with TypeError set when it cannot.
bool assign_keyword(const ArgSpec& spec, PyObject* key, PyObject* value, PyObject** out) {
  for (std::size_t i = 0; i < spec.params.size(); ++i) {
    if (PyUnicode_Check(key) && PyUnicode_CompareWithASCIIString(key, spec.params[i]) == 0) {
      if (out[i] != nullptr) {
        PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'", spec.fname,
                     spec.params[i]);
        return false;
      }
      out[i] = value;
      return true;
    }
  }
  PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'", spec.fname, key);
  return false;
}

// place_positional: out[i] = item(i) for the nargs positional arguments.
template <class Item>
bool place_positional(const ArgSpec& spec, Py_ssize_t nargs, PyObject** out, Item item) {
  for (std::size_t i = 0; i < spec.params.size(); ++i) out[i] = nullptr;
  if (static_cast<std::size_t>(nargs) > spec.params.size()) {
    too_many_positional(spec, nargs);
    return false;
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = item(i);
  return true;
}

bool check_required(const ArgSpec& spec, PyObject** out) {
  for (std::size_t i = 0; i < spec.required; ++i) {
    if (out[i] == nullptr) {
      missing_required(spec, out);
      return false;
    }
  }
  return true;
}

}  // namespace

bool parse_args(const ArgSpec& spec, PyObject* const* args, Py_ssize_t nargs,
                PyObject* kwnames, PyObject** out) {
  if (!place_positional(spec, nargs, out, [args](Py_ssize_t i) { return args[i]; })) return false;
  if (kwnames != nullptr) {
    const Py_ssize_t nkw = PyTuple_Size(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
      if (!assign_keyword(spec, PyTuple_GetItem(kwnames, k), args[nargs + k], out)) {
        return false;
      }
    }
  }
  return check_required(spec, out);
}

bool parse_args(const ArgSpec& spec, PyObject* args, PyObject* kwargs, PyObject** out) {
  const Py_ssize_t nargs = args != nullptr ? PyTuple_Size(args) : 0;
  // Borrowed from the tuple, which outlives the call.
  if (!place_positional(spec, nargs, out, [args](Py_ssize_t i) { return PyTuple_GetItem(args, i); })) {
    return false;
  }
  if (kwargs != nullptr) {
    Py_ssize_t pos = 0;
    PyObject* key;
    PyObject* value;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      if (!assign_keyword(spec, key, value, out)) return false;
    }
  }
  return check_required(spec, out);
}

}  // namespace morvend::py

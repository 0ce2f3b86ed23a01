// Result builders for plain values: str from UTF-8 text, and the Python dicts
// built from an AsvResult (keyed by the explainer's prebuilt name strs). Each
// returns a new reference or nullptr with an exception set. Name lists are
// names.hpp's.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace morvend::py {

// str_from: a str from UTF-8 text.
PyObject* str_from(std::string_view text);

// node_dict: {names[i]: numbers[i]} for every node.
PyObject* node_dict(std::span<PyObject* const> names, const std::vector<double>& numbers);

// DictBuilder: fills a dict key by key, so the keys keep the order given.
class DictBuilder {
 public:
  DictBuilder() : dict_(PyDict_New()), ok_(dict_ != nullptr) {}
  ~DictBuilder() { Py_XDECREF(dict_); }
  DictBuilder(const DictBuilder&) = delete;
  DictBuilder& operator=(const DictBuilder&) = delete;

  // set: steals `value`; a nullptr value fails the builder.
  DictBuilder& set(const char* key, PyObject* value);
  DictBuilder& set_optional(const char* key, const std::optional<double>& v);
  DictBuilder& set_optional(const char* key, const std::optional<std::uint64_t>& v);
  DictBuilder& set_optional(const char* key, const std::optional<std::string>& v);
  // finish: the dict, or nullptr with an exception set.
  PyObject* finish();

 private:
  PyObject* dict_;
  bool ok_;
};

}  // namespace morvend::py

#include "python/results.hpp"

#include "python/py_ref.hpp"

namespace morvend::py {

PyObject* str_from(std::string_view text) {
  return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "strict");
}

PyObject* node_dict(std::span<PyObject* const> names, const std::vector<double>& numbers) {
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict) return nullptr;
  for (std::size_t i = 0; i < names.size(); ++i) {
    PyRef value = PyRef::steal(PyFloat_FromDouble(numbers[i]));
    if (!value || PyDict_SetItem(dict.get(), names[i], value.get()) < 0) return nullptr;
  }
  return dict.release();
}

DictBuilder& DictBuilder::set(const char* key, PyObject* value) {
  PyRef owned = PyRef::steal(value);
  if (ok_) ok_ = owned && PyDict_SetItemString(dict_, key, owned.get()) == 0;
  return *this;
}

DictBuilder& DictBuilder::set_optional(const char* key, const std::optional<double>& v) {
  return set(key, v ? PyFloat_FromDouble(*v) : Py_NewRef(Py_None));
}

DictBuilder& DictBuilder::set_optional(const char* key, const std::optional<std::uint64_t>& v) {
  return set(key, v ? PyLong_FromUnsignedLongLong(*v) : Py_NewRef(Py_None));
}

DictBuilder& DictBuilder::set_optional(const char* key, const std::optional<std::string>& v) {
  return set(key, v ? str_from(*v) : Py_NewRef(Py_None));
}

PyObject* DictBuilder::finish() {
  if (!ok_) return nullptr;
  PyObject* out = dict_;
  dict_ = nullptr;
  return out;
}

}  // namespace morvend::py

#include "python/type_names.hpp"

#include "python/py_ref.hpp"

namespace morvend::py {
namespace {

// utf8_of: the UTF-8 text of a str attribute; false (no exception) otherwise.
bool utf8_of(PyObject* obj, std::string* out) {
  Py_ssize_t size = 0;
  const char* data = obj && PyUnicode_Check(obj) ? PyUnicode_AsUTF8AndSize(obj, &size) : nullptr;
  if (data == nullptr) {
    PyErr_Clear();
    return false;
  }
  out->assign(data, static_cast<std::size_t>(size));
  return true;
}

}  // namespace

std::string short_type_name(PyTypeObject* type) {
  std::string text;
  if (!utf8_of(PyRef::steal(PyType_GetName(type)).get(), &text)) return "?";
  return text;
}

std::string c_type_name(PyTypeObject* type) {
  std::string name = short_type_name(type);
  // A static type's __module__ and __name__ are cut from its C-level name at
  // the last dot ("builtins" when there is none). A class statement names its
  // type bare; only types made in C with PyType_FromSpec are immutable, and
  // theirs is the dotted "<module>.<name>" they were created with.
  const unsigned long flags = PyType_GetFlags(type);
  if ((flags & Py_TPFLAGS_HEAPTYPE) && !(flags & Py_TPFLAGS_IMMUTABLETYPE)) return name;
  std::string module;
  PyObject* cls = reinterpret_cast<PyObject*>(type);
  if (!utf8_of(PyRef::steal(PyObject_GetAttrString(cls, "__module__")).get(), &module)) return name;
  if (module == "builtins" || module == "morvend") return name;
  return module + "." + name;
}

}  // namespace morvend::py

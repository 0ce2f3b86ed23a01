#include "python/instance.hpp"

#include <cstring>

namespace morvend::py {

PyTypeObject* create_type(PyType_Spec* spec) {
  // Created as "morvend.<Name>" so that __module__ is "morvend" (a bare spec
  // name draws a DeprecationWarning), then the C-level name is cut back to the
  // bare class name used in the interpreter's own messages. The pointer stays
  // inside the type's own copy of the name.
  PyTypeObject* type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(spec));
  if (type == nullptr) return nullptr;
  if (const char* dot = std::strrchr(type->tp_name, '.')) type->tp_name = dot + 1;
  return type;
}

}  // namespace morvend::py

#include "python/instance.hpp"

namespace morvend::py {

PyTypeObject* create_type(PyType_Spec* spec) {
  // The part of the dotted type name before the dot becomes __module__ (a bare
  // name would leave the class without one, and draw a DeprecationWarning).
  // The stable ABI keeps the type's C-level name out of reach, so the interpreter's own
  // messages name the class "morvend.<Name>", as numpy's do 'numpy.ndarray';
  // the binding's own messages name it bare.
  return reinterpret_cast<PyTypeObject*>(PyType_FromSpec(spec));
}

}  // namespace morvend::py

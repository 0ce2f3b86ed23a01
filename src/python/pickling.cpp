#include "python/pickling.hpp"

#include "python/arg_convert.hpp"
#include "python/errors.hpp"
#include "python/py_ref.hpp"
#include "python/type_names.hpp"

namespace morvend::py {

PyObject* reduce_to_state(PyObject* self, const std::string& snapshot) {
  PyRef state = PyRef::steal(
      PyBytes_FromStringAndSize(snapshot.data(), static_cast<Py_ssize_t>(snapshot.size())));
  if (!state) return nullptr;
  return Py_BuildValue("(O()O)", reinterpret_cast<PyObject*>(Py_TYPE(self)), state.get());
}

bool state_bytes(PyObject* arg, std::string_view* out) {
  if (!PyBytes_Check(arg)) {
    PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to 'PyBytes'",
                 c_type_name(Py_TYPE(arg)).c_str());
    add_conversion_note("state");
    return false;
  }
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(arg, &data, &size) < 0) return false;
  *out = std::string_view(data, static_cast<std::size_t>(size));
  return true;
}

PyObject* refuse_nonempty_state(const char* fname) {
  return raise_value_error(std::string(fname) + " restores a new, empty graph only");
}

PyObject* repr_text(const ReprPieces& pieces, NameStrs& strs, std::span<const std::string> names) {
  std::string text = pieces.head;
  auto name_repr = [&](NodeId id, std::string& into) {
    PyObject* s = strs.str(names, id);
    if (s == nullptr) return false;
    PyRef r = PyRef::steal(PyObject_Repr(s));
    Py_ssize_t size = 0;
    const char* utf8 = r ? PyUnicode_AsUTF8AndSize(r.get(), &size) : nullptr;
    if (utf8 == nullptr) return false;
    into.append(utf8, static_cast<std::size_t>(size));
    return true;
  };
  for (std::size_t k = 0; k < pieces.edges.size(); ++k) {
    text += k == 0 ? ": " : ", ";
    if (!name_repr(pieces.edges[k].from, text)) return nullptr;
    text += std::string(" ") + pieces.edges[k].arrow + " ";
    if (!name_repr(pieces.edges[k].to, text)) return nullptr;
  }
  text += ">";
  return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

}  // namespace morvend::py

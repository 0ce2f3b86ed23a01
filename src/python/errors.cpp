#include "python/errors.hpp"

#include "python/py_ref.hpp"

namespace morvend::py {

PyObject* raise_asv_error(const AsvError& error) {
  // A computation stopped without an exception of its own to show (the run it
  // served was interrupted): the user pressed Ctrl-C somewhere up the line.
  if (error.kind() == AsvError::Kind::kInterrupted) {
    PyErr_SetNone(PyExc_KeyboardInterrupt);
    return nullptr;
  }
  return raise_value_error(error.message());
}

PyObject* raise_read_error(const std::string& message) {
  // The readers report failures as text; a stopped read is an interruption.
  if (message == AsvError::interrupted().message()) return raise_asv_error(AsvError::interrupted());
  return raise_value_error(message);
}

PyObject* raise_value_error(std::string_view message) {
  PyRef text = PyRef::steal(
      PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
  if (text) PyErr_SetObject(PyExc_ValueError, text.get());
  return nullptr;
}

}  // namespace morvend::py

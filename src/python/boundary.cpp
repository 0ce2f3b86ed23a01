#include "python/boundary.hpp"

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <new>

namespace morvend::py {
namespace {

[[noreturn]] void ffi_panic() noexcept {
  std::fputs("uncaught panic at ffi boundary\n", stderr);
  std::fflush(stderr);
  std::abort();
}

void raise_internal_fault(const char* text) {
  PyObject* type = internal_fault_type();
  if (type != nullptr) PyErr_SetString(type, text);
}

}  // namespace

PyObject* internal_fault_type() {
  static PyObject* type = nullptr;  // created once, kept for the process
  if (type == nullptr) {
    type = PyErr_NewExceptionWithDoc(
        "morvend.InternalFault",
        "A broken internal invariant of morvend (a bug, not a problem with the input).\n\n"
        "Derives from BaseException so that `except Exception` does not hide it.",
        PyExc_BaseException, nullptr);
  }
  return type;
}

PyObject* translate_exception() noexcept {
  try {
    try {
      throw;
    } catch (const std::bad_alloc&) {
      PyErr_NoMemory();
    } catch (const std::exception& e) {
      raise_internal_fault(e.what());
    } catch (...) {
      raise_internal_fault("unknown internal fault");
    }
  } catch (...) {
    ffi_panic();
  }
  return nullptr;
}

}  // namespace morvend::py

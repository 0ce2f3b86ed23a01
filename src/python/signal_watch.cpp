#include "python/signal_watch.hpp"

#include <atomic>

#include "python/gil.hpp"

namespace morvend::py {
namespace {

// main_thread_ident: threading.main_thread().ident, looked up once.
// REQUIRES: the GIL.
unsigned long main_thread_ident() {
  static std::atomic<unsigned long> ident{0};
  if (unsigned long known = ident.load(std::memory_order_relaxed)) return known;
  PyRef threading = PyRef::steal(PyImport_ImportModule("threading"));
  PyRef main = threading
                   ? PyRef::steal(PyObject_CallMethod(threading.get(), "main_thread", nullptr))
                   : PyRef();
  PyRef value = main ? PyRef::steal(PyObject_GetAttrString(main.get(), "ident")) : PyRef();
  const unsigned long found = value ? PyLong_AsUnsignedLong(value.get()) : 0;
  if (PyErr_Occurred()) {
    PyErr_Clear();
    return 0;
  }
  ident.store(found, std::memory_order_relaxed);
  return found;
}

}  // namespace

SignalWatch::SignalWatch() {
  if (PyThread_get_thread_ident() == main_thread_ident()) scope_.emplace(*this);
}

bool SignalWatch::interrupted() {
  GilAcquire gil;
  if (guarded([] { return PyErr_CheckSignals(); }) == 0) return false;
  pending_ = PyRef::steal(PyErr_GetRaisedException());
  return true;
}

bool SignalWatch::raise_pending() {
  if (!pending_) return false;
  PyErr_SetRaisedException(pending_.release());
  return true;
}

}  // namespace morvend::py

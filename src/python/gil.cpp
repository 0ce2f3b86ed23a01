#include "python/gil.hpp"

#include <atomic>
#include <chrono>
#include <thread>

#include "python/py_ref.hpp"

namespace morvend::py {
namespace {

std::atomic<bool> exit_watched{false};
std::atomic<bool> exiting{false};
std::atomic<std::thread::id> exiting_thread{};

PyObject* on_interpreter_exit(PyObject*, PyObject*) {
  exiting_thread.store(std::this_thread::get_id());
  exiting.store(true);
  Py_RETURN_NONE;
}

PyMethodDef on_exit_def = {"_morvend_on_exit", on_interpreter_exit, METH_NOARGS, nullptr};

}  // namespace

void park_thread() noexcept {
  for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
}

bool watch_interpreter_exit() {
  if (exit_watched.load(std::memory_order_acquire)) return true;
  // The GIL orders the callers: only one registers.
  PyRef atexit = PyRef::steal(PyImport_ImportModule("atexit"));
  PyRef callback = PyRef::steal(PyCFunction_New(&on_exit_def, nullptr));
  if (!atexit || !callback) return false;
  PyRef done = PyRef::steal(PyObject_CallMethod(atexit.get(), "register", "O", callback.get()));
  if (!done) return false;
  exit_watched.store(true, std::memory_order_release);
  return true;
}

bool interpreter_exiting() {
  // The exiting thread itself (the main thread, running the atexit callbacks
  // and finalization) keeps full use of the interpreter.
  return exiting.load(std::memory_order_acquire) &&
         exiting_thread.load(std::memory_order_relaxed) != std::this_thread::get_id();
}

}  // namespace morvend::py

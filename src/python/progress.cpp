#include "python/progress.hpp"

#include <algorithm>
#include <string>

#include "python/gil.hpp"

namespace morvend::py {

ProgressBar::ProgressBar(std::uint64_t total)
    : total_(total), step_(std::max<std::uint64_t>(1, total / 100)) {
  PyRef tqdm = PyRef::steal(PyImport_ImportModule("tqdm"));
  if (!tqdm) {  // not installed: the plain line
    PyErr_Clear();
    return;
  }
  PyRef cls = PyRef::steal(PyObject_GetAttrString(tqdm.get(), "tqdm"));
  PyRef kwargs =
      PyRef::steal(Py_BuildValue("{s:K,s:s,s:s}", "total", static_cast<unsigned long long>(total),
                                 "unit", "call", "desc", "morvend"));
  PyRef empty = PyRef::steal(PyTuple_New(0));
  if (cls && kwargs && empty)
    bar_ = PyRef::steal(PyObject_Call(cls.get(), empty.get(), kwargs.get()));
  if (!bar_) drop();
}

ProgressBar::~ProgressBar() {
  if (!drawing_) return;
  PyObject* saved = PyErr_GetRaisedException();  // a run that failed keeps its error
  if (bar_) {
    PyRef r = PyRef::steal(PyObject_CallMethod(bar_.get(), "close", nullptr));
  } else {
    PySys_WriteStderr("\n");
  }
  PyErr_Clear();
  PyErr_SetRaisedException(saved);
}

void ProgressBar::drop() {
  PyErr_Clear();
  drawing_ = false;
}

void ProgressBar::calls_done(std::uint64_t calls) {
  // Only the run's thread touches these: no GIL needed to skip a redraw.
  if (!drawing_ || (calls < shown_ + step_ && calls != total_)) return;
  GilAcquire gil;
  // tqdm runs Python code, which may release the GIL and meet the exit.
  if (bar_) {
    PyRef r = PyRef::steal(guarded([this, calls] {
      return PyObject_CallMethod(bar_.get(), "update", "K",
                                 static_cast<unsigned long long>(calls - shown_));
    }));
    if (!r) drop();
  } else {
    const std::string line =
        "\rmorvend: " + std::to_string(calls) + "/" + std::to_string(total_) + " calls";
    guarded([&line] { PySys_WriteStderr("%s", line.c_str()); });
    if (PyErr_Occurred()) drop();
  }
  shown_ = calls;
}

}  // namespace morvend::py

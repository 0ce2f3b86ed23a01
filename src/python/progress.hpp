// ProgressBar: calls used against the budget, for explain_within(progress=True):
// a tqdm bar when tqdm is installed, else one line on stderr redrawn in place.
// A failing bar (tqdm raising, stderr closed) is dropped, never the run.
// REQUIRES: the GIL for the constructor and destructor. calls_done, called on
// the run's thread while it runs without the GIL, takes the GIL itself (it
// nests when the value function's lease already holds it).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

#include "budget/within.hpp"
#include "python/py_ref.hpp"

namespace morvend::py {

class ProgressBar final : public CallProgress {
 public:
  explicit ProgressBar(std::uint64_t total);
  ~ProgressBar() override;  // closes the bar (or ends the line)

  void calls_done(std::uint64_t calls) override;

 private:
  void drop();  // clears a failure and stops drawing

  std::uint64_t total_;
  std::uint64_t shown_ = 0;
  std::uint64_t step_;  // redraw after this many calls at least
  PyRef bar_;           // the tqdm instance, or none for the plain line
  bool drawing_ = true;
};

}  // namespace morvend::py

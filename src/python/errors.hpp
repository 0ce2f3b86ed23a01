// Raising the module's exceptions from core errors. Each function sets the
// exception and returns nullptr, so a method can `return raise_...(...)`.
//
//   if (Result<void> r = g.validate(); !r) return raise_asv_error(r.error());
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string>
#include <string_view>

#include "graph/asv_error.hpp"

namespace morvend::py {

// The TypeError text for a str where a sequence of items is expected (a str
// is a sequence of characters, never meant here).
inline constexpr const char* kStrNotASequence = "Can't extract `str` to `Vec`";

// raise_asv_error: ValueError with the error's full message (KeyboardInterrupt for
// an interrupted computation).
PyObject* raise_asv_error(const AsvError& error);

// raise_read_error: ValueError with a JSON reader's failure message
// (KeyboardInterrupt for a read that was stopped).
PyObject* raise_read_error(const std::string& message);

// raise_value_error: ValueError with `message`; bytes that are not UTF-8 (a
// parser may quote a partial character) show as U+FFFD.
PyObject* raise_value_error(std::string_view message);

}  // namespace morvend::py

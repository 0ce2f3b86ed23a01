#include "python/value_function.hpp"

#include <bit>
#include <utility>

#include "graph/interrupt.hpp"
#include "python/errors.hpp"
#include "python/arg_convert.hpp"
#include "python/gil.hpp"
#include "python/type_names.hpp"

namespace morvend::py {
namespace {

std::string utf8_text(PyObject* text) {
  // backslashreplace: a lone surrogate in a message must not lose the message.
  PyRef bytes = PyRef::steal(PyUnicode_AsEncodedString(text, "utf-8", "backslashreplace"));
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (!bytes || PyBytes_AsStringAndSize(bytes.get(), &data, &size) < 0) {
    PyErr_Clear();
    return "?";
  }
  return std::string(data, static_cast<std::size_t>(size));
}

// call_one: fn(arg), through vectorcall as the interpreter's own one-argument
// calls go; a slot before the argument lets a bound method put self there.
PyObject* call_one(PyObject* fn, PyObject* arg) {
  PyObject* args[2] = {nullptr, arg};
  return PyObject_Vectorcall(fn, args + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
}

}  // namespace

std::string render_exception(PyObject* exc) {
  PyRef qualname = PyRef::steal(PyType_GetQualName(Py_TYPE(exc)));
  if (!qualname) PyErr_Clear();
  std::string text = qualname ? utf8_text(qualname.get()) : c_type_name(Py_TYPE(exc));
  PyRef str = PyRef::steal(guarded([exc] { return PyObject_Str(exc); }));
  if (!str) {
    PyErr_Clear();
    return text + ": <exception str() failed>";
  }
  return text + ": " + utf8_text(str.get());
}

namespace {

Py_ssize_t member_count(Coalition coalition) {
  Py_ssize_t size = 0;
  for (std::uint64_t word : coalition) size += std::popcount(word);
  return size;
}

// set_members: sets items 0 .. of `list`, a list of as many items, to the
// members' names. One call into the interpreter per item, which takes its
// reference and releases the old item after the new one is in place. Items
// that already hold the right name are set too: checking first costs a call
// of its own.
void set_members(PyObject* list, Coalition coalition, PyObject* const* names) {
  Py_ssize_t k = 0;
  for (std::size_t w = 0; w < coalition.size(); ++w) {
    for (std::uint64_t rest = coalition[w]; rest != 0; rest &= rest - 1) {
      PySequence_SetItem(list, k++, names[w * 64 + static_cast<std::size_t>(std::countr_zero(rest))]);
    }
  }
}

}  // namespace

CoalitionNames::~CoalitionNames() {
  for (PyObject* list : spare_) Py_XDECREF(list);
}

PyObject* CoalitionNames::list(Coalition coalition) const {
  if (!all_) {
    PyRef all = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(names_.size())));
    if (!all) return nullptr;
    for (std::size_t i = 0; i < names_.size(); ++i) {
      PyList_SetItem(all.get(), static_cast<Py_ssize_t>(i), Py_NewRef(names_[i]));
    }
    all_ = std::move(all);
  }
  PyObject* list = PyList_GetSlice(all_.get(), 0, member_count(coalition));
  if (list == nullptr) return nullptr;
  set_members(list, coalition, names_.data());
  return list;
}

PyObject* CoalitionNames::list_for_call(Coalition coalition) {
  const Py_ssize_t size = member_count(coalition);
  if (static_cast<std::size_t>(size) >= kSpareSizes) return list(coalition);
  PyObject*& spare = spare_[size];
  // Ours alone and still of its length (the function may have resized it).
  if (spare != nullptr && Py_REFCNT(spare) == 1 && PyList_Size(spare) == size) {
    // Referenced before refilling: releasing a replaced item may run a
    // finalizer that lets another thread in, which must not take it too.
    PyObject* list = Py_NewRef(spare);
    set_members(list, coalition, names_.data());
    return list;
  }
  PyObject* fresh = list(coalition);
  if (fresh == nullptr) return nullptr;
  PyObject* old = std::exchange(spare, Py_NewRef(fresh));
  Py_XDECREF(old);
  return fresh;
}

AsvError CallFailure::take() {
  PyRef exc = PyRef::steal(PyErr_GetRaisedException());
  std::string text = render_exception(exc.get());
  // While the run stops (another lane failed, or Ctrl-C), a nested
  // explanation in the value function stops too and raises
  // KeyboardInterrupt: an echo of the stop, not the user's own interrupt.
  if (!PyObject_TypeCheck(exc.get(), reinterpret_cast<PyTypeObject*>(PyExc_Exception)) &&
      !stop_requested()) {
    std::lock_guard lock(mutex_);
    if (!interrupt_) interrupt_ = std::move(exc);
  }
  return AsvError::value_function(std::move(text));
}

bool CallFailure::restore_interrupt() {
  std::lock_guard lock(mutex_);
  if (!interrupt_) return false;
  PyErr_SetRaisedException(interrupt_.release());
  return true;
}

namespace {

// complex_number: 1 when `obj` is a complex number, which float() would
// truncate to its real part (numpy's only warn): Python's complex and its
// subclasses (numpy.complex128), and numpy's complex scalars and arrays (a
// dtype of kind 'c', numpy.complex64 among them). Real numbers that also
// define __complex__ (Decimal, Fraction, numpy's real arrays) are not; -1
// with an exception set when reading the dtype raised.
int complex_number(PyObject* obj) {
  if (PyComplex_Check(obj)) return 1;
  if (PyFloat_Check(obj) || PyLong_Check(obj)) return 0;
  // Without __complex__ a type is no complex number, and float() says why.
  if (!PyObject_HasAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__complex__")) return 0;
  // Any type may compute its attributes: both look-ups may run Python code.
  PyRef dtype = PyRef::steal(guarded([obj] { return PyObject_GetAttrString(obj, "dtype"); }));
  PyObject* type = dtype.get();
  PyRef kind = type ? PyRef::steal(guarded([type] { return PyObject_GetAttrString(type, "kind"); }))
                    : PyRef();
  if (!kind) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
    PyErr_Clear();
    return 0;
  }
  return PyUnicode_Check(kind.get()) && PyUnicode_CompareWithASCIIString(kind.get(), "c") == 0;
}

}  // namespace

bool to_double(PyObject* result, double* out) {
  if (PyFloat_CheckExact(result)) {
    *out = PyFloat_AsDouble(result);  // cannot fail on a float
    return true;
  }
  const int is_complex = complex_number(result);
  if (is_complex < 0) return false;
  if (is_complex == 1) {
    // The text float conversion gives for Python's own complex.
    PyErr_Format(PyExc_TypeError, "must be real number, not %.200s",
                 c_type_name(Py_TYPE(result)).c_str());
    return false;
  }
  // int, __float__, __index__: may run Python code.
  const double v = guarded([result] { return PyFloat_AsDouble(result); });
  if (v == -1.0 && PyErr_Occurred()) return false;
  *out = v;
  return true;
}

namespace {

// yield_interval: twice the interpreter's switch interval (see GilLease).
std::chrono::nanoseconds yield_interval() {
  double seconds = 0.005;
  PyRef sys = PyRef::steal(PyImport_ImportModule("sys"));
  PyRef value =
      sys ? PyRef::steal(PyObject_CallMethod(sys.get(), "getswitchinterval", nullptr)) : PyRef();
  if (value && PyFloat_Check(value.get())) seconds = PyFloat_AsDouble(value.get());
  PyErr_Clear();
  return std::chrono::nanoseconds(static_cast<std::int64_t>(2e9 * seconds));
}

// bind_thread_state: gives a worker thread a thread state of its own that
// lives as long as the thread, so that taking the GIL for each call does not
// create and destroy one every time. The interpreter clears it at shutdown.
void bind_thread_state(PyInterpreterState* interpreter) {
  if (PyGILState_GetThisThreadState() == nullptr) PyThreadState_New(interpreter);
}

}  // namespace

GilLease::GilLease() : yield_after_(yield_interval()) {}

void GilLease::take() {
  if (state_) return;
  state_ = enter_python();
  since_ = std::chrono::steady_clock::now();
}

void GilLease::end_if_old() {
  if (state_ && std::chrono::steady_clock::now() - since_ > yield_after_) end();
}

void GilLease::end() {
  if (state_) {
    PyGILState_Release(*state_);
    state_.reset();
  }
}

PyValueFunction::PyValueFunction(PyObject* fn, std::span<PyObject* const> names)
    : fn_(fn),
      names_(names),
      interpreter_(PyInterpreterState_Get()),
      owner_(std::this_thread::get_id()),
      poll_scope_(static_cast<InterruptSource&>(*this)) {}

Result<double> PyValueFunction::call(Coalition coalition) {
  PyRef list = PyRef::steal(names_.list_for_call(coalition));
  if (!list) return std::unexpected(failure_.take());
  PyObject* arg = list.get();
  PyRef result = PyRef::steal(guarded([this, arg] { return call_one(fn_, arg); }));
  double v;
  if (!result || !to_double(result.get(), &v)) return std::unexpected(failure_.take());
  return v;
}

bool PyValueFunction::leased_here() const {
  return std::this_thread::get_id() == owner_ && lease_allowed_.load(std::memory_order_relaxed);
}

Result<void> PyValueFunction::value_each(std::span<const std::uint64_t> words, std::size_t count,
                                         std::span<double> out) {
  if (leased_here()) return ValueOracle::value_each(words, count, out);
  const std::size_t width = count > 0 ? words.size() / count : 0;
  if (interpreter_exiting()) park_thread();
  if (!call_lock_.lock()) return std::unexpected(AsvError::interrupted());  // see value()
  std::unique_lock serial(call_lock_, std::adopt_lock);
  bind_thread_state(interpreter_);
  GilAcquire gil;
  for (std::size_t k = 0; k < count; ++k) {
    Result<double> v = call(words.subspan(k * width, width));
    if (!v) return std::unexpected(std::move(v.error()));
    out[k] = *v;
  }
  return {};
}

Result<double> PyValueFunction::value(Coalition coalition) {
  if (!leased_here()) {
    // Several threads call in: the GIL alone would let the interpreter switch
    // between two calls half-way through, so calls also take a lock of their
    // own, before the GIL (never while holding it), in turn: a lane calling in
    // a loop must not starve the run's own thread, which watches for Ctrl-C.
    if (interpreter_exiting()) park_thread();
    if (!call_lock_.lock()) return std::unexpected(AsvError::interrupted());
    std::unique_lock serial(call_lock_, std::adopt_lock);
    bind_thread_state(interpreter_);
    GilAcquire gil;
    return call(coalition);
  }
  lease_.take();
  in_call_ = true;
  Result<double> v = call(coalition);
  in_call_ = false;
  // Reading the clock every call would cost as much as the GIL it saves.
  if (++calls_since_clock_ == 32) {
    calls_since_clock_ = 0;
    lease_.end_if_old();
  }
  return v;
}

bool PyValueFunction::interrupted() {
  // Inside a call, the value function may run an explanation of its own,
  // which has released the GIL: the lease is not this frame's to end.
  if (!in_call_) lease_.end_if_old();
  return false;
}

void PyValueFunction::pause() {
  lease_allowed_.store(false, std::memory_order_relaxed);
  lease_.end();
}

void PyValueFunction::end_lease() { lease_.end(); }

PyBatchValueFunction::PyBatchValueFunction(PyObject* fn, std::span<PyObject* const> names)
    : fn_(fn),
      names_(names),
      owner_(std::this_thread::get_id()),
      poll_scope_(static_cast<InterruptSource&>(*this)) {}

namespace {

// float64_buffer: the contents of a one-dimensional, contiguous float64
// buffer; false (no exception) when `obj` offers no such buffer.
bool float64_buffer(PyObject* obj, std::vector<double>* out) {
  if (!PyObject_CheckBuffer(obj)) return false;
  Py_buffer view;
  if (PyObject_GetBuffer(obj, &view, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) < 0) {
    PyErr_Clear();
    return false;
  }
  const std::string_view format = view.format != nullptr ? view.format : "B";
  const bool ok = view.ndim == 1 && view.itemsize == 8 &&
                  (format == "d" || format == "<d" || format == "=d" || format == "@d");
  if (ok) {
    const auto* data = static_cast<const double*>(view.buf);
    out->assign(data, data + view.len / 8);
  }
  PyBuffer_Release(&view);
  return ok;
}

// items_to_doubles: the numbers of a list or tuple, each held while it is
// converted: a conversion may run Python code that empties the list (the
// list then ends early, with IndexError).
bool items_to_doubles(PyObject* fast, std::vector<double>* out) {
  const Py_ssize_t n = PySequence_Size(fast);
  out->resize(static_cast<std::size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* item = fast_item(fast, i);
    if (item == nullptr) return false;
    if (PyFloat_CheckExact(item)) {
      (*out)[i] = PyFloat_AsDouble(item);
      continue;
    }
    PyRef held = PyRef::borrow(item);
    if (!to_double(item, &(*out)[i])) return false;
  }
  return true;
}

// to_doubles: the numbers of a batch result; false with an exception set.
bool to_doubles(PyObject* result, std::vector<double>* out) {
  if (PyList_CheckExact(result)) return items_to_doubles(result, out);
  if (PyUnicode_Check(result)) {
    PyErr_SetString(PyExc_TypeError, kStrNotASequence);
    return false;
  }
  if (guarded([result, out] { return float64_buffer(result, out); })) return true;
  if (!PySequence_Check(result)) {
    PyRef name = PyRef::steal(PyType_GetName(Py_TYPE(result)));
    PyErr_Format(PyExc_TypeError, "'%S' object cannot be converted to 'Sequence'", name.get());
    return false;
  }
  PyRef fast =
      PyRef::steal(guarded([result] { return PySequence_Fast(result, "expected a sequence"); }));
  if (!fast) return false;
  return items_to_doubles(fast.get(), out);
}

}  // namespace

Result<std::vector<double>> PyBatchValueFunction::values(std::span<const std::uint64_t> words,
                                                         std::size_t count) {
  if (std::this_thread::get_id() != owner_) {
    GilAcquire gil;
    return call(words, count);
  }
  lease_.take();
  in_call_ = true;
  Result<std::vector<double>> v = call(words, count);
  in_call_ = false;
  lease_.end_if_old();
  return v;
}

bool PyBatchValueFunction::interrupted() {
  // As in the single form: a nested run inside the call polls this too.
  if (!in_call_) lease_.end_if_old();
  return false;
}

void PyBatchValueFunction::end_lease() { lease_.end(); }

Result<std::vector<double>> PyBatchValueFunction::call(std::span<const std::uint64_t> words,
                                                       std::size_t count) {
  const std::size_t width = count > 0 ? words.size() / count : 0;
  PyRef batch = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(count)));
  if (!batch) return std::unexpected(failure_.take());
  for (std::size_t k = 0; k < count; ++k) {
    PyObject* coalition = names_.list(words.subspan(k * width, width));
    if (coalition == nullptr) return std::unexpected(failure_.take());
    PyList_SetItem(batch.get(), static_cast<Py_ssize_t>(k), coalition);
  }
  PyObject* arg = batch.get();
  PyRef result = PyRef::steal(guarded([this, arg] { return call_one(fn_, arg); }));
  std::vector<double> out;
  if (!result || !to_doubles(result.get(), &out)) return std::unexpected(failure_.take());
  return out;
}

}  // namespace morvend::py

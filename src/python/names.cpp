#include "python/names.hpp"

#include "python/py_ref.hpp"

namespace morvend::py {

PyObject* NameStrs::make(std::span<const std::string> names, NodeId id) {
  if (strs_.size() < names.size()) strs_.resize(names.size(), nullptr);
  const std::string& name = names[id];
  PyObject* s = PyUnicode_DecodeUTF8(name.data(), static_cast<Py_ssize_t>(name.size()), "strict");
  strs_[id] = s;
  return s;
}

void NameStrs::keep(NodeId id, PyObject* obj) {
  if (!PyUnicode_CheckExact(obj)) return;
  if (strs_.size() <= id) strs_.resize(static_cast<std::size_t>(id) + 1, nullptr);
  if (strs_[id] == nullptr) strs_[id] = Py_NewRef(obj);
}

void NameStrs::keep_from(const NameStrs& source, std::span<const NodeId> source_ids) {
  if (strs_.size() < source_ids.size()) strs_.resize(source_ids.size(), nullptr);
  for (std::size_t k = 0; k < source_ids.size(); ++k) {
    const NodeId from = source_ids[k];
    if (strs_[k] == nullptr && from < source.strs_.size() && source.strs_[from] != nullptr) {
      strs_[k] = Py_NewRef(source.strs_[from]);
    }
  }
}

void NameStrs::keep_same(const NameStrs& source, std::size_t n) {
  if (strs_.size() < n) strs_.resize(n, nullptr);
  for (std::size_t k = 0; k < n && k < source.strs_.size(); ++k) {
    if (strs_[k] == nullptr && source.strs_[k] != nullptr) strs_[k] = Py_NewRef(source.strs_[k]);
  }
}

bool NameStrs::fill(std::span<const std::string> names) {
  for (NodeId id = 0; id < names.size(); ++id) {
    if (str(names, id) == nullptr) return false;
  }
  return true;
}

void NameStrs::clear() {
  for (PyObject* s : strs_) Py_XDECREF(s);
  strs_.clear();
}

namespace {

// list_of_names: a list of the strs of `ids`, in order.
PyObject* list_of_names(NameStrs& strs, std::span<const std::string> names,
                        std::span<const NodeId> ids) {
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(ids.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < ids.size(); ++i) {
    PyObject* s = strs.str(names, ids[i]);
    if (s == nullptr) return nullptr;
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), Py_NewRef(s));
  }
  return list.release();
}

}  // namespace

PyObject* names_list(NameStrs& strs, std::span<const std::string> names) {
  if (!strs.fill(names)) return nullptr;
  PyObject* const* data = strs.data();
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(names.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < names.size(); ++i) {
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), Py_NewRef(data[i]));
  }
  return list.release();
}

PyObject* name_pairs_list(NameStrs& strs, std::span<const std::string> names,
                          std::span<const std::pair<NodeId, NodeId>> pairs) {
  if (!strs.fill(names)) return nullptr;
  PyObject* const* data = strs.data();
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(pairs.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < pairs.size(); ++i) {
    PyObject* pair = PyTuple_New(2);
    if (pair == nullptr) return nullptr;
    PyTuple_SetItem(pair, 0, Py_NewRef(data[pairs[i].first]));
    PyTuple_SetItem(pair, 1, Py_NewRef(data[pairs[i].second]));
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), pair);
  }
  return list.release();
}

PyObject* sorted_names_list(NameStrs& strs, std::span<const std::string> names,
                            std::vector<NodeId> ids) {
  NameSorter(strs.order(), names).sort(ids);
  return list_of_names(strs, names, ids);
}

PyObject* sorted_layers_list(NameStrs& strs, std::span<const std::string> names,
                             std::span<NodeId> ids, std::span<const std::size_t> starts) {
  const std::size_t n_layers = starts.size() - 1;
  sort_layers(strs.order(), names, ids, starts);
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(n_layers)));
  if (!list) return nullptr;
  for (std::size_t k = 0; k < n_layers; ++k) {
    const std::span<NodeId> layer = ids.subspan(starts[k], starts[k + 1] - starts[k]);
    PyObject* names_k = list_of_names(strs, names, layer);
    if (names_k == nullptr) return nullptr;
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(k), names_k);
  }
  return list.release();
}

}  // namespace morvend::py

#include "python/names.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>

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

// prefix_key: the first 8 bytes, big-endian, zero-padded. key(a) < key(b)
// implies a < b in byte order; equal keys leave the order to the full text.
std::uint64_t prefix_key(const std::string& s) {
  std::uint64_t key = 0;
  const std::size_t len = std::min<std::size_t>(s.size(), 8);
  for (std::size_t i = 0; i < len; ++i) {
    key |= std::uint64_t{static_cast<unsigned char>(s[i])} << (56 - 8 * i);
  }
  return key;
}

}  // namespace

void NameStrs::rank_names(std::span<const std::string> names) {
  const std::size_t n = names.size();
  std::vector<std::pair<std::uint64_t, NodeId>> keyed(n);
  for (NodeId id = 0; id < n; ++id) keyed[id] = {prefix_key(names[id]), id};
  // std::string compares bytes as unsigned char: code point order for UTF-8.
  std::sort(keyed.begin(), keyed.end(), [&](const auto& a, const auto& b) {
    return a.first != b.first ? a.first < b.first : names[a.second] < names[b.second];
  });
  by_rank_.resize(n);
  rank_.resize(n);
  for (NodeId r = 0; r < n; ++r) {
    by_rank_[r] = keyed[r].second;
    rank_[keyed[r].second] = r;
  }
}

namespace {

// A result this large relative to the graph pays for ranking all names once.
bool worth_ranking(std::size_t k, std::size_t n) { return k >= 64 && k * 8 >= n; }

// NameSorter: sorts id lists by name, reusing one bitmap over the ranks.
class NameSorter {
 public:
  NameSorter(NameStrs& strs, std::span<const std::string> names) : strs_(strs), names_(names) {}

  void sort(std::span<NodeId> ids) {
    const std::size_t k = ids.size(), n = names_.size();
    if (k < 2) return;
    if (!strs_.ranked(n) && worth_ranking(k, n)) strs_.rank_names(names_);
    if (!strs_.ranked(n)) {
      std::sort(ids.begin(), ids.end(), [&](NodeId a, NodeId b) { return names_[a] < names_[b]; });
      return;
    }
    const std::vector<NodeId>& rank = strs_.rank();
    if (k * 32 < n || !by_bitmap(ids)) {
      std::sort(ids.begin(), ids.end(), [&](NodeId a, NodeId b) { return rank[a] < rank[b]; });
    }
  }

 private:
  // by_bitmap: marks the ranks, then reads the ids back in rank order; false
  // (ids untouched) when an id repeats. The bitmap is left all zero.
  bool by_bitmap(std::span<NodeId> ids) {
    const std::vector<NodeId>& rank = strs_.rank();
    bits_.resize((names_.size() + 63) / 64, 0);
    std::size_t lo = bits_.size(), hi = 0;
    bool repeated = false;
    for (NodeId id : ids) {
      const NodeId r = rank[id];
      const std::uint64_t bit = std::uint64_t{1} << (r & 63);
      repeated |= (bits_[r >> 6] & bit) != 0;
      bits_[r >> 6] |= bit;
      lo = std::min<std::size_t>(lo, r >> 6);
      hi = std::max<std::size_t>(hi, (r >> 6) + 1);
    }
    const std::vector<NodeId>& by_rank = strs_.by_rank();
    std::size_t out = 0;
    for (std::size_t w = lo; w < hi; ++w) {
      for (std::uint64_t rest = bits_[w]; rest != 0; rest &= rest - 1) {
        if (!repeated) ids[out++] = by_rank[w * 64 + static_cast<std::size_t>(std::countr_zero(rest))];
      }
      bits_[w] = 0;
    }
    return !repeated;
  }

  NameStrs& strs_;
  std::span<const std::string> names_;
  std::vector<std::uint64_t> bits_;
};

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
  NameSorter(strs, names).sort(ids);
  return list_of_names(strs, names, ids);
}

PyObject* sorted_layers_list(NameStrs& strs, std::span<const std::string> names,
                             std::span<NodeId> ids, std::span<const std::size_t> starts) {
  const std::size_t n_layers = starts.size() - 1;
  if (!strs.ranked(names.size()) && worth_ranking(ids.size(), names.size())) {
    strs.rank_names(names);
  }
  NameSorter sorter(strs, names);
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(n_layers)));
  if (!list) return nullptr;
  for (std::size_t k = 0; k < n_layers; ++k) {
    const std::span<NodeId> layer = ids.subspan(starts[k], starts[k + 1] - starts[k]);
    sorter.sort(layer);
    PyObject* names_k = list_of_names(strs, names, layer);
    if (names_k == nullptr) return nullptr;
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(k), names_k);
  }
  return list.release();
}

}  // namespace morvend::py

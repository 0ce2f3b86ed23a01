// NodeList: one node's children or parents, with room for a few ids inside
// the list itself.
//
// Causal graphs are sparse: most nodes have a handful of parents and
// children. A std::vector per list costs a heap block per node and a pointer
// chase per visit; a NodeList of up to kInline ids keeps them in its own 24
// bytes (the size of a std::vector), so building, copying and walking a
// sparse graph touches the heap only for its hubs.
//
//   NodeList out;
//   out.push_back(3);
//   for (NodeId v : out) ...;           // or std::span<const NodeId>(out)
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

#include "graph/asv_error.hpp"

namespace morvend {

class NodeList {
 public:
  static constexpr std::uint32_t kInline = 4;

  NodeList() = default;
  NodeList(const NodeList& other) { append(other); }
  NodeList(NodeList&& other) noexcept : size_(other.size_), capacity_(other.capacity_) {
    std::memcpy(&store_, &other.store_, sizeof store_);
    other.size_ = 0;
    other.capacity_ = kInline;
  }
  NodeList& operator=(const NodeList& other) {
    if (this != &other) {
      size_ = 0;
      append(other);
    }
    return *this;
  }
  NodeList& operator=(NodeList&& other) noexcept {
    if (this != &other) {
      release();
      size_ = other.size_;
      capacity_ = other.capacity_;
      std::memcpy(&store_, &other.store_, sizeof store_);
      other.size_ = 0;
      other.capacity_ = kInline;
    }
    return *this;
  }
  ~NodeList() { release(); }

  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  const NodeId* data() const { return on_heap() ? store_.heap : store_.inline_ids; }
  const NodeId* begin() const { return data(); }
  const NodeId* end() const { return data() + size_; }
  NodeId operator[](std::size_t i) const { return data()[i]; }
  operator std::span<const NodeId>() const { return {data(), size_}; }

  void push_back(NodeId v) {
    if (size_ == capacity_) grow(2 * capacity_);
    mutable_data()[size_++] = v;
  }
  // append: `ids` may lie in this list; they are copied before the old room
  // is given back.
  void append(std::span<const NodeId> ids) {
    if (size_ + ids.size() > capacity_) {
      grow(std::max<std::size_t>(size_ + ids.size(), 2 * capacity_), ids);
    } else {
      std::copy(ids.begin(), ids.end(), mutable_data() + size_);
    }
    size_ += static_cast<std::uint32_t>(ids.size());
  }
  // reserve: room for `n` ids in all, so that a list of known length is
  // allocated once.
  void reserve(std::size_t n) {
    if (n > capacity_) grow(n);
  }

 private:
  bool on_heap() const { return capacity_ > kInline; }
  NodeId* mutable_data() { return on_heap() ? store_.heap : store_.inline_ids; }
  void release() {
    if (on_heap()) delete[] store_.heap;
  }
  // grow: moves to a heap block of `capacity` ids, with `tail` copied after
  // the current ones. Ids are node ids, so a list never outgrows NodeId's range.
  void grow(std::size_t capacity, std::span<const NodeId> tail = {}) {
    auto* heap = new NodeId[capacity];
    std::copy(tail.begin(), tail.end(), std::copy(begin(), end(), heap));
    release();
    store_.heap = heap;
    capacity_ = static_cast<std::uint32_t>(capacity);
  }

  std::uint32_t size_ = 0;
  std::uint32_t capacity_ = kInline;
  union Store {
    NodeId inline_ids[kInline];
    NodeId* heap;
  } store_{};
};

static_assert(sizeof(NodeList) == 24, "a NodeList takes the room of the std::vector it replaces");

}  // namespace morvend

// Coalition sets of graphs with more than 64 nodes: ceil(n / 64) words, node i
// bit (i % 64) of word i / 64. Sets are equal when their words are, and
// ordered lexicographically, word 0 first, each word as unsigned.
//
// CoalitionList, CoalitionIndex and CoalitionMap keep their sets back to back
// in one array, so storing a set costs one copy of its words and a look-up
// allocates nothing; hashing and comparing a set cost its w words.
//
//   CoalitionMap values(words_for(n));
//   values.insert(set, 0.5);
//   const double* v = values.find(set);  // nullptr when absent
#pragma once

#include <algorithm>
#include <cstdint>
#include <span>
#include <vector>

#include <boost/unordered/unordered_flat_set.hpp>

#include "asv/value_oracle.hpp"
#include "graph/asv_error.hpp"

namespace morvend {

// words_for: the number of words of a coalition of an n-node graph.
constexpr std::size_t words_for(std::size_t n) { return (n + 63) / 64; }

// add_member: sets node i in a coalition.
inline void add_member(std::span<std::uint64_t> set, NodeId i) {
  set[i / 64] |= std::uint64_t{1} << (i % 64);
}

// coalition_less: the lexicographic order of sets of equal width.
bool coalition_less(Coalition a, Coalition b);

// coalition_hash: multiply-xorshift steps over the words; tables that use it
// mix the result again.
std::uint64_t coalition_hash(Coalition set);

// CoalitionList: a sequence of sets of one width.
class CoalitionList {
 public:
  explicit CoalitionList(std::size_t words) : words_(words) {}

  std::size_t size() const { return words_ == 0 ? 0 : data_.size() / words_; }
  Coalition operator[](std::size_t k) const { return Coalition(data_).subspan(k * words_, words_); }
  // words: the sets [first, first + count) back to back.
  std::span<const std::uint64_t> words(std::size_t first, std::size_t count) const {
    return std::span<const std::uint64_t>(data_).subspan(first * words_, count * words_);
  }
  // all: every set, back to back.
  std::span<const std::uint64_t> all() const { return data_; }
  std::size_t width() const { return words_; }
  void append(Coalition set) { data_.insert(data_.end(), set.begin(), set.end()); }
  void clear() { data_.clear(); }
  // sort_unique: ascending lexicographic order, duplicates removed.
  void sort_unique();

 private:
  std::size_t words_;
  std::vector<std::uint64_t> data_;
};

// CoalitionIndex: distinct sets, numbered 0, 1, ... in the order they were
// first inserted.
class CoalitionIndex {
 public:
  explicit CoalitionIndex(std::size_t words);
  // The index's hasher points at this object's key array: not copyable or
  // movable.
  CoalitionIndex(const CoalitionIndex&) = delete;
  CoalitionIndex& operator=(const CoalitionIndex&) = delete;

  std::size_t size() const { return index_.size(); }
  Coalition operator[](std::size_t k) const { return keys_[k]; }
  // sets: the list of the sets, in their numbers' order.
  const CoalitionList& sets() const { return keys_; }
  // find: the number of `set`, or kAbsent.
  static constexpr std::size_t kAbsent = SIZE_MAX;
  std::size_t find(Coalition set) const {
    auto it = index_.find(set);
    return it == index_.end() ? kAbsent : *it;
  }
  // insert: the number of `set`, a new one at the end when it is absent.
  std::size_t insert(Coalition set);
  void clear() {
    index_.clear();
    keys_.clear();
  }

 private:
  struct KeyHash {
    using is_transparent = void;
    const CoalitionIndex* index;
    std::size_t operator()(Coalition set) const { return static_cast<std::size_t>(coalition_hash(set)); }
    std::size_t operator()(std::size_t k) const { return (*this)(index->keys_[k]); }
  };
  struct KeyEqual {
    using is_transparent = void;
    const CoalitionIndex* index;
    bool operator()(std::size_t a, std::size_t b) const { return a == b; }
    bool operator()(Coalition a, std::size_t b) const { return std::ranges::equal(a, index->keys_[b]); }
    bool operator()(std::size_t a, Coalition b) const { return std::ranges::equal(index->keys_[a], b); }
  };

  CoalitionList keys_;
  boost::unordered_flat_set<std::size_t, KeyHash, KeyEqual> index_;
};

// CoalitionMap: a hash map from set to double.
class CoalitionMap {
 public:
  explicit CoalitionMap(std::size_t words) : keys_(words) {}

  std::size_t size() const { return values_.size(); }
  const double* find(Coalition set) const {
    const std::size_t k = keys_.find(set);
    return k == CoalitionIndex::kAbsent ? nullptr : &values_[k];
  }
  // insert: stores set -> value; keeps the old value when set is present.
  void insert(Coalition set, double value) {
    if (keys_.insert(set) == values_.size()) values_.push_back(value);
  }
  void clear() {
    keys_.clear();
    values_.clear();
  }

 private:
  CoalitionIndex keys_;
  std::vector<double> values_;
};

}  // namespace morvend

// Coalition sets of graphs with more than 64 nodes: ceil(n / 64) words, node i
// bit (i % 64) of word i / 64. Sets are equal when their words are, and
// ordered lexicographically, word 0 first, each word as unsigned.
//
// CoalitionList and CoalitionMap keep their sets back to back in one array,
// so storing a set costs one copy of its words and a look-up allocates
// nothing; hashing and comparing a set cost its w words.
//
//   CoalitionMap values(words_for(n));
//   values.insert(set, 0.5);
//   const double* v = values.find(set);  // nullptr when absent
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include <boost/unordered/unordered_flat_map.hpp>

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
  void append(Coalition set) { data_.insert(data_.end(), set.begin(), set.end()); }
  void clear() { data_.clear(); }
  // sort_unique: ascending lexicographic order, duplicates removed.
  void sort_unique();

 private:
  std::size_t words_;
  std::vector<std::uint64_t> data_;
};

// CoalitionMap: a hash map from set to double.
class CoalitionMap {
 public:
  explicit CoalitionMap(std::size_t words);
  // The index's hasher points at this object's key array: not copyable or
  // movable.
  CoalitionMap(const CoalitionMap&) = delete;
  CoalitionMap& operator=(const CoalitionMap&) = delete;

  std::size_t size() const { return index_.size(); }
  const double* find(Coalition set) const {
    auto it = index_.find(set);
    return it == index_.end() ? nullptr : &it->second;
  }
  // insert: stores set -> value; keeps the old value when set is present.
  void insert(Coalition set, double value);
  void clear() {
    index_.clear();
    keys_.clear();
  }

 private:
  Coalition key(std::size_t k) const { return Coalition(keys_).subspan(k * words_, words_); }

  struct KeyHash {
    using is_transparent = void;
    const CoalitionMap* map;
    std::size_t operator()(Coalition set) const;
    std::size_t operator()(std::size_t k) const { return (*this)(map->key(k)); }
  };
  struct KeyEqual {
    using is_transparent = void;
    const CoalitionMap* map;
    bool operator()(std::size_t a, std::size_t b) const { return a == b; }
    bool operator()(Coalition a, std::size_t b) const { return equal(a, map->key(b)); }
    bool operator()(std::size_t a, Coalition b) const { return equal(map->key(a), b); }
    static bool equal(Coalition a, Coalition b);
  };

  std::size_t words_;
  std::vector<std::uint64_t> keys_;  // key k at words [k * words_, (k + 1) * words_)
  boost::unordered_flat_map<std::size_t, double, KeyHash, KeyEqual> index_;
};

}  // namespace morvend

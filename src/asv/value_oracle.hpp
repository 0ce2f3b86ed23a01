// The value-oracle seam: engines ask for v(coalition) through ValueOracle and
// never see the user's function. The Python layer implements it around the
// user's callable; C++ tests and benchmarks implement it in C++.
//
// A coalition crosses the seam as ceil(n / 64) words: node i is bit (i % 64)
// of word i / 64 (one word for n <= 64).
//
//   ValueLookup lookup(oracle);
//   Result<double> v = lookup(mask);   // cached after the first call
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include <boost/unordered/unordered_flat_map.hpp>

#include "graph/asv_error.hpp"

namespace morvend {

using Coalition = std::span<const std::uint64_t>;

// ValueOracle: the single form, one coalition per call.
class ValueOracle {
 public:
  virtual ~ValueOracle() = default;
  // value: v(coalition); any failure is a ValueFunction error.
  [[nodiscard]] virtual Result<double> value(Coalition coalition) = 0;
  // value_each: value() of `count` coalitions stored back to back in `words`,
  // in order, into `out`; stops at the first failure. One call each still,
  // but an oracle may take its locks once for all of them.
  [[nodiscard]] virtual Result<void> value_each(std::span<const std::uint64_t> words,
                                                std::size_t count, std::span<double> out) {
    const std::size_t width = count > 0 ? words.size() / count : 0;
    for (std::size_t k = 0; k < count; ++k) {
      Result<double> v = value(words.subspan(k * width, width));
      if (!v) return std::unexpected(std::move(v.error()));
      out[k] = *v;
    }
    return {};
  }
  // pause: the calling thread stops asking for a while (a long computation,
  // or work handed to other threads); an oracle that holds a lock from one
  // call to the next releases it here.
  // REQUIRES: called on the run's thread before any other thread calls
  // value(); from then on value() may be called from several threads at once.
  virtual void pause() {}
};

// BatchValueOracle: the batch form, many coalitions per call.
class BatchValueOracle {
 public:
  virtual ~BatchValueOracle() = default;
  // values: v of `count` coalitions stored back to back in `words`. Returns
  // what the function returned, whatever its length; callers check it.
  [[nodiscard]] virtual Result<std::vector<double>> values(std::span<const std::uint64_t> words,
                                                           std::size_t count) = 0;
};

// ValueCache: the memo in front of the oracle for one run (or one worker).
using ValueCache = boost::unordered_flat_map<std::uint64_t, double>;

// ValueLookup: the cached value of a one-word coalition. Every value obtained
// is stored, NaN included, so the oracle is asked once per coalition.
class ValueLookup {
 public:
  explicit ValueLookup(ValueOracle& oracle) : oracle_(oracle) {}

  [[nodiscard]] Result<double> operator()(std::uint64_t mask) {
    if (auto it = cache_.find(mask); it != cache_.end()) return it->second;
    Result<double> v = oracle_.value(Coalition(&mask, 1));
    if (v) cache_.emplace(mask, *v);
    return v;
  }

 private:
  ValueOracle& oracle_;
  ValueCache cache_;
};

}  // namespace morvend

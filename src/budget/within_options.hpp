// The options of explain_within and its progress callback: all a caller
// sets up, without the engines' inner headers.
//
//   WithinOptions options{.max_calls = 10000, .seed = 7};
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

namespace morvend {

// CallProgress: told how many coalitions have been evaluated so far, after
// each call (single form) or batch call; the binding draws a progress bar.
class CallProgress {
 public:
  virtual ~CallProgress() = default;
  virtual void calls_done(std::uint64_t calls) = 0;
};

struct WithinOptions {
  std::uint64_t max_calls = 10000;
  std::optional<std::uint64_t> seed{};
  std::size_t batch_size = 4096;  // coalitions per batch call (0 counts as 1)
  // The ideals the lattices may hold in all, to sample uniform orders from;
  // by default kWithinIdealsBase plus kWithinIdealsPerCall per call.
  std::optional<std::uint64_t> counted_ideal_limit{};
  CallProgress* progress = nullptr;  // none when null
};

}  // namespace morvend

#include "asv/completion_count.hpp"

#include <algorithm>
#include <string>

#include "graph/interrupt.hpp"

namespace morvend {
namespace {

std::string binary(std::uint64_t mask) {
  std::string out;
  do {
    out.push_back(static_cast<char>('0' + (mask & 1)));
    mask >>= 1;
  } while (mask != 0);
  std::reverse(out.begin(), out.end());
  return "0b" + out;
}

}  // namespace

AsvError count_overflow(const char* table, std::uint64_t mask) {
  return AsvError::extension_count_overflow(
      std::string(table) + "[" + binary(mask) +
      "] overflowed u64 \xe2\x80\x94 use approx for this DAG");
}

Result<std::optional<std::uint64_t>> completion_count(std::uint64_t set,
                                                      std::span<const std::uint64_t> parent_masks,
                                                      CompletionMemo& memo,
                                                      std::uint64_t max_entries) {
  if (set == 0) return 1;
  if (auto it = memo.find(set); it != memo.end()) return it->second;
  std::uint64_t sum = 0;
  for (std::uint64_t rest = set; rest != 0; rest &= rest - 1) {
    const int x = __builtin_ctzll(rest);
    if ((parent_masks[x] & set) != 0) continue;
    Result<std::optional<std::uint64_t>> sub =
        completion_count(set & ~(std::uint64_t{1} << x), parent_masks, memo, max_entries);
    if (!sub || !*sub) return sub;
    if (__builtin_add_overflow(sum, **sub, &sum)) {
      return std::unexpected(count_overflow(kCompletionTable, set));
    }
  }
  if (memo.size() >= max_entries) return std::nullopt;
  // Filling a large memo takes seconds; a check per 1024 entries is free.
  if (memo.size() % 1024 == 0) {
    if (Result<void> r = check_interrupt(); !r) return std::unexpected(std::move(r.error()));
  }
  memo.emplace(set, sum);
  return sum;
}

}  // namespace morvend

#include "coalition/coalition.hpp"

#include <vector>

#include <gtest/gtest.h>

namespace morvend {
namespace {

using Words = std::vector<std::uint64_t>;

// Catches a node placed in the wrong word or bit, or a wrong word count.
TEST(Coalition, WordLayout) {
  EXPECT_EQ(words_for(64), 1u);
  EXPECT_EQ(words_for(65), 2u);
  EXPECT_EQ(words_for(128), 2u);
  EXPECT_EQ(words_for(129), 3u);
  Words set(2, 0);
  add_member(set, 127);
  add_member(set, 64);
  add_member(set, 3);
  EXPECT_EQ(set, (Words{0b1000, (std::uint64_t{1} << 63) | 1}));
}

// Catches an order that looks at the high word first, or duplicates kept.
TEST(CoalitionList, SortsWordZeroFirstAndDropsDuplicates) {
  CoalitionList list(2);
  for (const Words& w : {Words{5, 0}, Words{1, ~0ull}, Words{5, 0}, Words{1, 2}, Words{0, 9}}) {
    list.append(w);
  }
  list.sort_unique();
  ASSERT_EQ(list.size(), 4u);
  const Words expected[] = {{0, 9}, {1, 2}, {1, ~0ull}, {5, 0}};
  for (std::size_t k = 0; k < 4; ++k) EXPECT_TRUE(std::ranges::equal(list[k], expected[k])) << k;
  EXPECT_TRUE(std::ranges::equal(list.words(1, 2), Words{1, 2, 1, ~0ull}));
}

// Catches keys lost or confused when the index grows and rehashes, sets that
// differ only in a high word colliding, or a second insert overwriting.
TEST(CoalitionMap, FindsEverySetAcrossGrowth) {
  CoalitionMap map(3);
  for (std::uint64_t k = 0; k < 20000; ++k) map.insert(Words{k % 7, k, k / 3}, double(k));
  map.insert(Words{0, 0, 0}, -1.0);
  EXPECT_EQ(map.size(), 20000u);
  for (std::uint64_t k = 0; k < 20000; ++k) {
    const double* v = map.find(Words{k % 7, k, k / 3});
    ASSERT_NE(v, nullptr) << k;
    EXPECT_EQ(*v, double(k));
  }
  EXPECT_EQ(map.find(Words{0, 0, 1}), nullptr);
  map.clear();
  EXPECT_EQ(map.size(), 0u);
  EXPECT_EQ(map.find(Words{0, 0, 0}), nullptr);
  map.insert(Words{1, 2, 3}, 4.0);
  EXPECT_EQ(*map.find(Words{1, 2, 3}), 4.0);
}

// Catches numbers that are not the order of first insertion, or a set met
// again that gets a new number.
TEST(CoalitionIndex, NumbersSetsInTheOrderFirstMet) {
  CoalitionIndex index(2);
  const Words sets[] = {{3, 0}, {0, 3}, {3, 0}, {1, 1}, {0, 3}};
  std::vector<std::size_t> got;
  for (const Words& w : sets) got.push_back(index.insert(w));
  EXPECT_EQ(got, (std::vector<std::size_t>{0, 1, 0, 2, 1}));
  EXPECT_EQ(index.find(Words{1, 1}), 2u);
  EXPECT_EQ(index.find(Words{1, 0}), CoalitionIndex::kAbsent);
  EXPECT_TRUE(std::ranges::equal(index.sets().all(), Words{3, 0, 0, 3, 1, 1}));
}

}  // namespace
}  // namespace morvend

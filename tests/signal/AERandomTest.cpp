#include "AERandom.h"

#include <gtest/gtest.h>

#include <array>
#include <vector>

TEST(Random, FollowsTheDocumentedLinearCongruentialStep) {
  // States of state * 134775813 + 1 (mod 2^32) from seed 0, worked out by hand.
  RandomSeed(0);
  EXPECT_EQ(RandomState(), 0u);
  EXPECT_EQ(RandomFloat(), 0x1p-32);  // state 1
  EXPECT_EQ(RandomState(), 1u);
  EXPECT_EQ(RandomFloat(), 134775814.0 * 0x1p-32);
  EXPECT_EQ(RandomState(), 134775814u);
  EXPECT_EQ(RandomFloat(), 3698175007.0 * 0x1p-32);
  EXPECT_EQ(RandomState(), 3698175007u);
  EXPECT_EQ(RandomFloat(), 870078620.0 * 0x1p-32);
}

TEST(Random, IntegerDrawsScaleTheNewStateAndAlwaysStep) {
  RandomSeed(0xDEADBEEF);  // next states 0x5f4ff6ac, 0x2d20815d, 0x973e7ad2
  EXPECT_EQ(RandomBelow(1000), 372u);
  EXPECT_EQ(RandomBelow(0), 0u);  // a zero range still takes its step ...
  EXPECT_EQ(RandomState(), 0x2d20815du);
  EXPECT_EQ(RandomBelow(1000), 590u);  // ... so the third draw sees the third state

  // 0x4d60ae66 steps to 0xFFFFFFFF, the largest state: the top of every range.
  RandomSeed(0x4d60ae66);
  EXPECT_EQ(RandomBelow(10), 9u);
  RandomSeed(0x4d60ae66);
  EXPECT_EQ(RandomBelow(0xFFFFFFFFu), 0xFFFFFFFEu);
  RandomSeed(0x4d60ae66);
  EXPECT_LT(RandomFloat(), 1.0);
  EXPECT_EQ(RandomState(), 0xFFFFFFFFu);
}

TEST(Random, DrawsSpreadOverTheirWholeRange) {
  RandomSeed(20261210);
  std::array<int, 7> seen{};
  double lo = 1, hi = 0;
  for (int i = 0; i < 70000; ++i) {
    const std::uint32_t k = RandomBelow(7);
    ASSERT_LT(k, 7u);
    ++seen[k];
    const double u = RandomFloat();
    ASSERT_GE(u, 0.0);
    ASSERT_LT(u, 1.0);
    lo = std::min(lo, u);
    hi = std::max(hi, u);
  }
  for (int count : seen) {  // 10000 expected each; 5 sigma is about 470
    EXPECT_GT(count, 9500);
    EXPECT_LT(count, 10500);
  }
  EXPECT_LT(lo, 1e-3);
  EXPECT_GT(hi, 1 - 1e-3);
}

TEST(Random, BatchDrawsEqualSingleDrawsInOrder) {
  for (std::size_t n : {0, 1, 3, 4, 5, 8, 17, 1000}) {
    SCOPED_TRACE(n);
    RandomSeed(0xC0FFEEu + static_cast<std::uint32_t>(n));
    std::vector<double> single(n);
    for (double& u : single)
      u = RandomFloat();
    const std::uint32_t after = RandomState();
    RandomSeed(0xC0FFEEu + static_cast<std::uint32_t>(n));
    std::vector<double> batch(n, -1.0);
    RandomFloats(batch);
    EXPECT_EQ(batch, single);
    EXPECT_EQ(RandomState(), after);
  }
}

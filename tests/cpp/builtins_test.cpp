#include "support/builtins.hpp"

#include <cstdint>
#include <limits>

#include "gtest/gtest.h"
#include "test_random.hpp"

namespace tarnvel {
namespace {

constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();

// The fallback is what a compiler without a 128-bit integer hashes with: it must give the same
// words as the builtin product, carries between the 32-bit halves included.
TEST(WideMultiplyTest, FallbackAgreesWithTheBuiltinAtTheCarryBoundaries) {
  const std::uint64_t edges[] = {0,
                                 1,
                                 2,
                                 0xFFFFFFFFu,
                                 0x100000000u,
                                 0x1FFFFFFFFu,
                                 kMax,
                                 kMax - 1,
                                 kMax >> 1,
                                 0x9E3779B97F4A7C15u,
                                 0xFFFFFFFF00000000u,
                                 0x00000000FFFFFFFFu,
                                 0x8000000000000000u};
  for (std::uint64_t a : edges) {
    for (std::uint64_t b : edges) {
      EXPECT_EQ(multiply_wide_portable(a, b), multiply_wide(a, b)) << a << " * " << b;
    }
  }
}

TEST(WideMultiplyTest, FallbackAgreesWithTheBuiltinOnRandomWords) {
  TestRandom random;
  for (int i = 0; i < 100000; ++i) {
    const std::uint64_t a = random.below(kMax), b = random.below(kMax);
    ASSERT_EQ(multiply_wide_portable(a, b), multiply_wide(a, b)) << a << " * " << b;
  }
}

TEST(WideMultiplyTest, KnownProducts) {
  // (2^64 - 1)^2 = 2^128 - 2^65 + 1: high word 2^64 - 2, low word 1.
  static_assert(multiply_wide_portable(kMax, kMax) == WideProduct{kMax - 1, 1});
  static_assert(multiply_wide_portable(0x100000000u, 0x100000000u) == WideProduct{1, 0});
  static_assert(multiply_wide_portable(kMax, 0) == WideProduct{0, 0});
  EXPECT_EQ(multiply_wide(kMax, kMax), (WideProduct{kMax - 1, 1}));
  EXPECT_EQ(multiply_wide(kMax, 2), (WideProduct{1, kMax - 1}));
}

}  // namespace
}  // namespace tarnvel

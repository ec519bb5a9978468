// TestRandom: the xorshift generator that randomized tests draw from. Its seed is fixed, so a
// failing case repeats exactly.
#pragma once

#include <cstdint>

namespace tarnvel {

class TestRandom {
 public:
  // A number in [0, bound). REQUIRES: bound > 0.
  std::uint64_t below(std::uint64_t bound) {
    state_ ^= state_ << 13;
    state_ ^= state_ >> 7;
    state_ ^= state_ << 17;
    return state_ % bound;
  }

 private:
  std::uint64_t state_ = 0x9E3779B97F4A7C15u;
};

}  // namespace tarnvel

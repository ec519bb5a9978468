// SeededHasher: the one hash of every table whose keys come from user data (the store's index, the
// e-graph's memo).
//
// Words are folded into a 64-bit state by a full multiply (the high and low halves xor-ed), the
// mixing step of fast multiply-based string hashes. The state starts from a seed that differs
// between processes, so keys that collide cannot be prepared in advance and shipped in a blob: an
// attacker who does not know the seed cannot crowd one part of a table. Nothing may be ordered by
// these hashes; they only spread keys over tables.
#pragma once

#include <cstdint>

#include "support/builtins.hpp"

namespace tarnvel {

class SeededHasher {
 public:
  // Starts from this process's seed.
  SeededHasher() noexcept : state_(process_seed()) {}
  // Starts from `seed`, for tests that compare two seeds.
  explicit SeededHasher(std::uint64_t seed) noexcept : state_(seed | 1) {}

  void word(std::uint64_t w) noexcept { state_ = mix(state_ ^ w, kMultiplier); }
  std::uint64_t finish() const noexcept { return mix(state_, kMultiplier); }

  // The address of a static differs between processes (ASLR), as with Abseil's own seed.
  static std::uint64_t process_seed() noexcept {
    return reinterpret_cast<std::uintptr_t>(&kSeedAnchor) | 1;
  }

 private:
  static constexpr std::uint64_t kMultiplier = 0x9E3779B97F4A7C15ULL;
  static std::uint64_t mix(std::uint64_t a, std::uint64_t b) noexcept {
    const WideProduct product = multiply_wide(a, b);
    return product.low ^ product.high;
  }
  static inline const char kSeedAnchor = 0;

  std::uint64_t state_;
};

}  // namespace tarnvel

// SeededHasher: the one hash of every table whose keys come from user data (the store's index, the
// e-graph's memo), and node_hash, the one recipe for an (operator, children) key.
//
// Words are folded into a 64-bit state by a full multiply (the high and low halves xor-ed), the
// mixing step of fast multiply-based string hashes. The state starts from a seed that differs
// between processes, so keys that collide cannot be prepared in advance and shipped in a blob: an
// attacker who does not know the seed cannot crowd one part of a table. Nothing may be ordered by
// these hashes; they only spread keys over tables.
#pragma once

#include <cstdint>
#include <span>

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

// node_hash of a key of at most two children, given as `count` and two words of which only the
// first `count` are read: the same value, without a loop.
inline std::uint64_t node_hash_of_two(std::uint32_t op, std::uint32_t count, std::uint32_t first,
                                      std::uint32_t second) noexcept {
  SeededHasher hasher;
  hasher.word(op | (std::uint64_t{count} << 32));
  if (count == 1) hasher.word(first);
  if (count == 2) hasher.word(first | std::uint64_t{second} << 32);
  return hasher.finish();
}

// The one hash of an (operator, children) key, shared by the store's index, the e-graph's memo and
// CSE: the operator and the count in one word, then the children two to a word (ids are below
// 2^32 where keys are interned; a wider id only shares its hash). Equal keys hash equally whatever
// integer type holds the children.
template <class Id>
std::uint64_t node_hash(std::uint32_t op, std::span<const Id> children) noexcept {
  const std::size_t count = children.size();
  if (count <= 2) {  // most keys: no loop
    return node_hash_of_two(op, static_cast<std::uint32_t>(count),
                            count > 0 ? static_cast<std::uint32_t>(children[0]) : 0,
                            count > 1 ? static_cast<std::uint32_t>(children[1]) : 0);
  }
  SeededHasher hasher;
  hasher.word(op | (std::uint64_t{count} << 32));
  std::size_t i = 0;
  for (; i + 1 < count; i += 2) {
    hasher.word(static_cast<std::uint32_t>(children[i]) |
                std::uint64_t{static_cast<std::uint32_t>(children[i + 1])} << 32);
  }
  if (i < count) hasher.word(static_cast<std::uint32_t>(children[i]));
  return hasher.finish();
}

// The 32 bits of a hash that a table slot keeps.
constexpr std::uint32_t fold_hash(std::uint64_t hash) noexcept {
  return static_cast<std::uint32_t>(hash ^ (hash >> 32));
}

}  // namespace tarnvel

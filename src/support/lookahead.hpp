// A loop whose steps probe memory they can name in advance: each step's key (a hash, a node, an
// id) is computed a fixed number of steps early and its prefetch issued then, so that the step's
// cache miss overlaps with the steps before it instead of stalling the loop.
//
// Use it where a loop over known positions probes a large table. The key is computed once, when
// it is prefetched, and handed to its step, so the step need not compute it again. Loads that
// computing a key depends on (a class slot read before the node list it points to) go further
// ahead, as preloads.
//
// For `count` steps, in increasing order of i:
// - key_of(i) is called exactly once, and prefetch(key) right after it;
// - key_of(i + Distance) runs after body(i - 1) and before body(i): a key may read what the steps
//   more than Distance before its own wrote (the first Distance keys come before any step runs);
// - body(i, key) gets the key computed for i. A body that returns bool ends the loop by
//   returning false; what was loaded for later steps is then dropped;
// - each preload's load(i) runs once, `Ahead` steps before body(i), in the order the preloads
//   are given, before the key computed in the same step.
// Keys wait in a ring of Distance + 1 slots: the loop allocates nothing.
//
// Example:
//   for_each_with_lookahead<8>(
//       nodes.size(), [&](std::size_t i) { return hash_of(nodes[i]); },
//       [&](std::uint64_t hash) { table.prefetch(hash); },
//       [&](std::size_t i, std::uint64_t hash) { table.insert(nodes[i], hash); });
#pragma once

#include <array>
#include <concepts>
#include <cstddef>
#include <type_traits>
#include <utility>

namespace tarnvel {

// An index-only load issued `Ahead` steps before a step runs.
template <std::size_t Ahead, class Load>
struct Preload {
  static constexpr std::size_t kAhead = Ahead;
  Load load;

  void issue(std::size_t i, std::size_t count) {
    if (i < count) load(i);
  }
};

template <std::size_t Ahead, class Load>
Preload<Ahead, Load> preload(Load load) {
  return {std::move(load)};
}

template <std::size_t Distance, class KeyOf, class Prefetch, class Body, class... Preloads>
void for_each_with_lookahead(std::size_t count, KeyOf&& key_of, Prefetch&& prefetch, Body&& body,
                             Preloads&&... preloads) {
  using Key = std::remove_cvref_t<std::invoke_result_t<KeyOf&, std::size_t>>;
  static_assert(Distance > 0, "a key computed zero steps ahead has nothing to overlap with");
  static_assert(std::default_initializable<Key> && std::movable<Key>, "keys wait in a ring");
  static_assert(((std::remove_cvref_t<Preloads>::kAhead > Distance) && ...),
                "a preload serves the key's computation, so it runs further ahead than the key");
  // One slot more than the distance: step i + Distance's key is computed while step i's still
  // waits, so each step takes its key from the ring in place.
  std::array<Key, Distance + 1> ring{};
  const auto next = [](std::size_t slot) { return slot == Distance ? 0 : slot + 1; };
  std::size_t filled = 0;  // the slot of the next key computed
  const auto load_key = [&](std::size_t i) {
    if (i >= count) return;
    Key& key = ring[filled];
    filled = next(filled);
    key = key_of(i);
    prefetch(std::as_const(key));
  };
  (
      [&] {
        for (std::size_t i = 0; i < preloads.kAhead; ++i) preloads.issue(i, count);
      }(),
      ...);
  for (std::size_t i = 0; i < Distance; ++i) load_key(i);
  std::size_t taken = 0;  // the slot of step i's key
  for (std::size_t i = 0; i < count; ++i, taken = next(taken)) {
    (preloads.issue(i + preloads.kAhead, count), ...);
    load_key(i + Distance);
    if constexpr (std::is_same_v<std::invoke_result_t<Body&, std::size_t, Key&&>, bool>) {
      if (!body(i, std::move(ring[taken]))) return;
    } else {
      body(i, std::move(ring[taken]));
    }
  }
}

}  // namespace tarnvel

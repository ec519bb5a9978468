// NodeIndex: the store's hash-cons index, one 8-byte slot per node holding its id and its key's
// hash folded to 32 bits (callers pass the full 64-bit hash). Keys live only in the node list and
// are compared through the ids the slots hold, so each key is stored once.
//
// It is a SegmentedTable, eight slots to a 64-byte bucket. A slot whose hash differs is passed
// without reading its node, which in a large store is a cache miss, and growth places slots by
// their stored hashes without reading a key.
#pragma once

#include <cstdint>
#include <optional>

#include "support/seeded_hash.hpp"
#include "support/segmented_table.hpp"

namespace tarnvel {

class NodeIndex {
 public:
  // Ids are below this: it marks an empty slot.
  static constexpr std::uint32_t kNoId = ~std::uint32_t{0};

  // The id of a slot with this hash whose node `same(id)` accepts.
  template <class Same>
  [[nodiscard]] std::optional<std::uint32_t> find(std::uint64_t full_hash, Same&& same) const {
    const std::uint32_t hash = fold_hash(full_hash);
    const auto& segment = table_.segment(hash);
    if (segment.size() == 0) return std::nullopt;
    const Slot& slot = segment.probe(hash, accepting(hash, same));
    if (slot.id == kNoId) return std::nullopt;
    return slot.id;
  }
  // Starts loading the bucket a lookup of this hash reads first.
  void prefetch(std::uint64_t full_hash) const noexcept {
    const std::uint32_t hash = fold_hash(full_hash);
    table_.segment(hash).prefetch(hash);
  }
  // The id of a slot with this hash whose node `same(id)` accepts; otherwise the id `add()`
  // returns, in a new slot found by the same probe. `add` runs only when no slot accepts, after any
  // growth of the table, and returns an id below kNoId; when it throws (or growth fails with
  // std::bad_alloc), no slot is added.
  template <class Same, class Add>
  [[nodiscard]] std::uint32_t find_or_add(std::uint64_t full_hash, Same&& same, Add&& add) {
    const std::uint32_t hash = fold_hash(full_hash);
    auto& segment = table_.segment(hash);
    Slot* empty = nullptr;
    if (segment.size() != 0) {
      Slot& slot = segment.probe(hash, accepting(hash, same));
      if (slot.id != kNoId) return slot.id;
      empty = &slot;
    }
    if (!segment.has_room()) [[unlikely]] {
      segment.grow(segment.size() + 1);
      empty = nullptr;  // the slots moved
    }
    if (empty == nullptr) empty = &segment.probe(hash, [](const Slot&) { return false; });
    const std::uint32_t id = add();
    *empty = Slot{id, hash};
    segment.added();
    return id;
  }
  // Makes room for about `count` more slots spread evenly by hash.
  void reserve(std::size_t count) { table_.reserve(count); }

 private:
  struct Slot {
    std::uint32_t id = kNoId;
    std::uint32_t hash = 0;
  };
  // A probe's stop for a slot of this folded hash whose node `same` accepts.
  template <class Same>
  static auto accepting(std::uint32_t hash, Same& same) {
    return [hash, &same](const Slot& slot) { return slot.hash == hash && same(slot.id); };
  }
  struct SlotTraits {
    static bool empty(const Slot& slot) { return slot.id == kNoId; }
    static std::uint32_t hash(const Slot& slot) { return slot.hash; }
  };

  SegmentedTable<Slot, SlotTraits> table_;
};

}  // namespace tarnvel

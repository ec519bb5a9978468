// Memo: the e-graph's hash-cons table from e-node to class id.
//
// Entries are added and overwritten but never removed, so after merges the table also holds
// outdated forms. It is a SegmentedTable of 16-byte slots, four to a 64-byte bucket. An e-node of
// at most two children is stored in its slot itself (operator and arity in one word, the children
// in the next two), so finding it reads one cache line that its hash alone locates and that can be
// loaded ahead. A wider e-node, or one whose symbol does not fit the word, lives in a side arena;
// its slot holds its hash and index.
//
// Keys are hashed with the per-process seed (a program read from a blob chooses the children), and
// the table is only ever looked up: no result depends on where an entry sits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <utility>

#include "egraph/symbol_node.hpp"
#include "support/chunked.hpp"
#include "support/segmented_table.hpp"

namespace tarnvel::egraph {

class Memo {
 public:
  Memo() = default;

  // Entries, outdated forms included.
  std::size_t size() const { return size_; }
  // Presizes for about `count` more entries spread evenly by hash.
  void reserve(std::size_t count);

  [[nodiscard]] std::optional<Id> find(const SymbolNode& node) const;
  // Starts loading the bucket that finding or entering `node` reads first.
  void prefetch(const SymbolNode& node) const {
    const std::uint32_t hash = Key(node).hash;
    table_.segment(hash).prefetch(hash);
  }
  // Enters `node` with `id` unless an equal key is present. Returns the id stored for the key, for
  // the caller to read or overwrite until the next insertion, and whether it was entered now.
  std::pair<Id*, bool> insert(const SymbolNode& node, Id id);

 private:
  static constexpr std::uint32_t kEmpty = ~std::uint32_t{0};
  static constexpr std::uint32_t kWide = 3u << 30;  // the head of an entry kept in the arena
  static constexpr std::uint32_t kSymbolMask = (1u << 30) - 1;  // the symbol bits of an inline head

  struct Slot {
    std::uint32_t head = kEmpty;  // arity << 30 | symbol, kWide, or kEmpty
    std::uint32_t first = 0;  // first child, or a wide entry's hash
    std::uint32_t second = 0;  // second child, or a wide entry's arena index
    Id id = 0;
  };
  // The slot words of an e-node, and its hash; a wide e-node's arena index is not known yet.
  struct Key {
    explicit Key(const SymbolNode& node);
    std::uint32_t head;
    std::uint32_t first;
    std::uint32_t second;
    std::uint32_t hash;
    const SymbolNode* node;  // the e-node itself when wide
  };
  static std::uint32_t inline_hash(std::uint32_t head, std::uint32_t first, std::uint32_t second);

  struct SlotTraits {
    static bool empty(const Slot& slot) { return slot.head == kEmpty; }
    static std::uint32_t hash(const Slot& slot) {
      return slot.head == kWide ? slot.first : inline_hash(slot.head, slot.first, slot.second);
    }
  };

  bool matches(const Slot& slot, const Key& key) const {
    if (slot.head != key.head || slot.first != key.first) return false;
    return key.head != kWide ? slot.second == key.second : wide_[slot.second] == *key.node;
  }

  SegmentedTable<Slot, SlotTraits> table_;
  std::size_t size_ = 0;
  Chunked<SymbolNode> wide_;  // keys that do not fit a slot, in insertion order
};

}  // namespace tarnvel::egraph

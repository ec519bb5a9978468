// Memo: the e-graph's hash-cons table from e-node to class id.
//
// Entries are added and overwritten but never removed, so after merges the table also holds
// outdated forms. It is split by hash into segments that grow on their own, so that no allocation
// is very large (large ones bypass the allocator's free memory and cost fresh pages every time) and
// no growth copies the whole table. A segment is an open-addressing table of 16-byte slots, four
// to a 64-byte bucket, probed bucket by bucket from the one the hash picks. An e-node of at most two children is stored in its
// slot itself (operator and arity in one word, the children in the next two), so finding it reads
// one cache line that its hash alone locates and that can be loaded ahead. A wider e-node, or one
// whose symbol does not fit the word, lives in a side arena; its slot holds its hash and index.
//
// The table is only ever looked up: no result depends on where an entry sits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <utility>

#include "egraph/chunked.hpp"
#include "egraph/enode.hpp"

namespace tarnvel::egraph {

class Memo {
 public:
  Memo() = default;

  // Entries, outdated forms included.
  std::size_t size() const { return size_; }
  // Presizes for about `count` more entries spread evenly by hash.
  void reserve(std::size_t count);

  std::optional<Id> find(const ENode& node) const;
  // Starts loading the bucket that finding or entering `node` reads first.
  void prefetch(const ENode& node) const {
    const std::uint32_t hash = Key(node).hash;
    const Segment& segment = segments_[segment_of(hash)];
    if (segment.bucket_count != 0) __builtin_prefetch(&segment.buckets[segment.bucket_of(hash)]);
  }
  // Enters `node` with `id` unless an equal key is present. Returns the id stored for the key, for
  // the caller to read or overwrite until the next insertion, and whether it was entered now.
  std::pair<Id*, bool> insert(const ENode& node, Id id);

 private:
  static constexpr std::uint32_t kEmpty = ~std::uint32_t{0};
  static constexpr std::uint32_t kWide = 3u << 30;  // the head of an entry kept in the arena
  static constexpr std::size_t kSlotsPerBucket = 4;

  struct Slot {
    std::uint32_t head = kEmpty;  // arity << 30 | symbol, kWide, or kEmpty
    std::uint32_t first = 0;      // first child, or a wide entry's hash
    std::uint32_t second = 0;     // second child, or a wide entry's arena index
    Id id = 0;
  };
  struct alignas(64) Bucket {
    Slot slots[kSlotsPerBucket];
  };

  // The slot words of an e-node, and its hash; a wide e-node's arena index is not known yet.
  struct Key {
    explicit Key(const ENode& node);
    std::uint32_t head;
    std::uint32_t first;
    std::uint32_t second;
    std::uint32_t hash;
    const ENode* node;  // the e-node itself when wide
  };
  static std::uint32_t inline_hash(std::uint32_t head, std::uint32_t first, std::uint32_t second);

  struct Segment {
    std::unique_ptr<Bucket[]> buckets;
    std::size_t bucket_count = 0;
    std::size_t size = 0;
    std::size_t max_size = 0;  // entries the buckets take before growing

    // The bits below the segment's pick the bucket.
    std::size_t bucket_of(std::uint32_t hash) const {
      return static_cast<std::size_t>((std::uint64_t{hash << kSegmentBits} * bucket_count) >> 32);
    }
    // The slot holding `key`, or the empty slot where it belongs.
    Slot* probe(const Key& key, const Memo& memo) const;
    void grow(std::size_t min_entries);
  };
  static constexpr unsigned kSegmentBits = 6;
  static std::size_t segment_of(std::uint32_t hash) { return hash >> (32 - kSegmentBits); }

  bool matches(const Slot& slot, const Key& key) const {
    if (slot.head != key.head || slot.first != key.first) return false;
    return key.head != kWide ? slot.second == key.second : wide_[slot.second] == *key.node;
  }

  Segment segments_[std::size_t{1} << kSegmentBits];
  std::size_t size_ = 0;
  Chunked<ENode> wide_;  // keys that do not fit a slot, in insertion order
};

}  // namespace tarnvel::egraph

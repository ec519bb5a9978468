// NodeIndex: the store's hash-cons index, one 8-byte slot per node holding its id and the 32-bit
// hash of its key. Keys live only in the node list and are compared through the ids the slots hold,
// so each key is stored once.
//
// Slots sit eight to a 64-byte bucket, probed bucket by bucket from the one the hash picks; a slot
// whose hash differs is passed without reading its node, which in a large store is a cache miss.
// The table is split by hash into segments that grow on their own, so that no growth copies the
// whole table or needs one large allocation, and growth places slots by their stored hashes
// without reading a key. Nothing is ever removed, and no result depends on where a slot sits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>

namespace tarnvel {

class NodeIndex {
 public:
  // Ids are below this: it marks an empty slot.
  static constexpr std::uint32_t kNoId = ~std::uint32_t{0};

  // The id of a slot with this hash whose node `same(id)` accepts.
  template <class Same>
  std::optional<std::uint32_t> find(std::uint32_t hash, Same&& same) const {
    const Segment& segment = segments_[segment_of(hash)];
    if (segment.bucket_count == 0) return std::nullopt;
    for (std::size_t bucket = segment.bucket_of(hash);; bucket = segment.next(bucket)) {
      for (const Slot& slot : segment.buckets[bucket].slots) {
        if (slot.id == kNoId) return std::nullopt;
        if (slot.hash == hash && same(slot.id)) return slot.id;
      }
    }
  }
  // Starts loading the bucket a lookup of this hash reads first.
  void prefetch(std::uint32_t hash) const noexcept {
    const Segment& segment = segments_[segment_of(hash)];
    if (segment.bucket_count != 0) __builtin_prefetch(&segment.buckets[segment.bucket_of(hash)]);
  }
  // Makes room for one more slot with this hash. May throw std::bad_alloc, changing nothing.
  void reserve_one(std::uint32_t hash) {
    Segment& segment = segments_[segment_of(hash)];
    if (segment.size >= segment.max_size) [[unlikely]] segment.grow(segment.size + 1);
  }
  // Makes room for about `count` more slots spread evenly by hash.
  void reserve(std::size_t count);
  // Adds a slot. REQUIRES: reserve_one(hash) since the last insertion, and `id` below kNoId.
  void insert(std::uint32_t hash, std::uint32_t id) noexcept;

 private:
  struct Slot {
    std::uint32_t id = kNoId;
    std::uint32_t hash = 0;
  };
  static constexpr std::size_t kSlotsPerBucket = 8;
  struct alignas(64) Bucket {
    Slot slots[kSlotsPerBucket];
  };
  struct Segment {
    std::unique_ptr<Bucket[]> buckets;
    std::size_t bucket_count = 0;
    std::size_t size = 0;
    std::size_t max_size = 0;  // slots the buckets take before growing

    // The bits below the segment's pick the bucket.
    std::size_t bucket_of(std::uint32_t hash) const {
      return static_cast<std::size_t>((std::uint64_t{hash << kSegmentBits} * bucket_count) >> 32);
    }
    std::size_t next(std::size_t bucket) const { return bucket + 1 == bucket_count ? 0 : bucket + 1; }
    // The first empty slot on the probe path of `hash`. REQUIRES: size < max_size.
    Slot& free_slot(std::uint32_t hash) const;
    void grow(std::size_t min_slots);
  };
  static constexpr unsigned kSegmentBits = 6;
  static std::size_t segment_of(std::uint32_t hash) { return hash >> (32 - kSegmentBits); }

  Segment segments_[std::size_t{1} << kSegmentBits];
};

}  // namespace tarnvel

// SegmentedTable: the storage of an open-addressing hash table that only grows, shared by the
// e-graph's memo and the store's index.
//
// Slots sit in 64-byte buckets, probed bucket by bucket from the one the hash picks, so a lookup
// whose hash is known can load its first bucket ahead. The table is split by the hash's top bits
// into segments that grow on their own: no growth copies the whole table or needs one large
// allocation (large ones bypass the allocator's free memory and cost fresh pages every time).
// A small table starts small: reserving room in a table that has none puts every segment's first
// buckets in one shared block, when that block is small, instead of one allocation per segment.
// Growth places each slot by the hash `Traits::hash(slot)` gives, without calling the owner.
// The owner decides what a slot holds and when a probe stops; nothing is ever removed, and no
// result may depend on where a slot sits.
//
// Traits: `static bool empty(const Slot&)`, true for a default-constructed slot, and
// `static std::uint32_t hash(const Slot&)` for a slot in use.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <memory>
#include <type_traits>
#include <utility>

#include "support/builtins.hpp"
#include "support/fault.hpp"

namespace tarnvel {

template <class Slot, class Traits>
class SegmentedTable {
 public:
  static constexpr std::size_t kSlotsPerBucket = 64 / sizeof(Slot);
  struct alignas(64) Bucket {
    Slot slots[kSlotsPerBucket];
  };
  static_assert(std::is_trivially_destructible_v<Bucket>);

  // Value-initialized buckets on a cache-line boundary, aligned by hand inside an ordinary
  // allocation: an over-aligned allocation makes the allocator split a larger block every time,
  // which a reduction of a small program pays for each of its tables.
  class Buckets {
   public:
    Buckets() = default;
    Buckets(Buckets&& other) noexcept
        : raw_(std::move(other.raw_)), first_(std::exchange(other.first_, nullptr)) {}
    Buckets& operator=(Buckets&& other) noexcept {
      raw_ = std::move(other.raw_);
      first_ = std::exchange(other.first_, nullptr);
      return *this;
    }
    explicit Buckets(std::size_t count)
        : raw_(std::make_unique_for_overwrite<std::byte[]>(count * sizeof(Bucket) + kSlack)) {
      void* start = raw_.get();
      std::size_t room = count * sizeof(Bucket) + kSlack;
      start = std::align(alignof(Bucket), count * sizeof(Bucket), start, room);
      first_ = static_cast<Bucket*>(start);
      std::uninitialized_value_construct_n(first_, count);
    }
    Bucket* get() const noexcept { return first_; }
    Bucket& operator[](std::size_t i) const noexcept { return first_[i]; }
    explicit operator bool() const noexcept { return first_ != nullptr; }

   private:
    static constexpr std::size_t kSlack = alignof(Bucket) - 1;
    std::unique_ptr<std::byte[]> raw_;
    Bucket* first_ = nullptr;
  };

  class Segment {
   public:
    std::size_t size() const { return size_; }
    // Slots in use that fit before the segment must grow.
    std::size_t capacity() const { return max_size_; }
    bool has_room() const { return size_ < max_size_; }
    // The first slot on the probe path of `hash` that is empty or that `stop` accepts.
    // REQUIRES: the segment has buckets (has_room() or size() > 0).
    template <class Stop>
    Slot& probe(std::uint32_t hash, Stop&& stop) const {
      for (std::size_t bucket = bucket_of(hash);; ++bucket) {
        if (bucket == bucket_count_) bucket = 0;
        for (Slot& slot : buckets_[bucket].slots) {
          if (Traits::empty(slot) || stop(slot)) return slot;
        }
      }
    }
    // Counts a slot the caller filled through `probe`. REQUIRES: has_room().
    void added() { ++size_; }
    void prefetch(std::uint32_t hash) const {
      if (bucket_count_ != 0) prefetch_cache_line(&buckets_[bucket_of(hash)]);
    }
    // Gives an empty segment `count` buckets that it does not own. REQUIRES: no buckets yet.
    void start_in(Bucket* buckets, std::size_t count) {
      buckets_ = buckets;
      bucket_count_ = count;
      max_size_ = count * kSlotsPerBucket * kMaxLoadPercent / 100;
    }
    // Makes room for `min_slots` in all. The new buckets are allocated before anything changes,
    // and placing the slots cannot fail.
    void grow(std::size_t min_slots) {
      const std::size_t slots = std::max({min_slots, 2 * size_, std::size_t{8}});
      const std::size_t count = (slots * 100 / kMaxLoadPercent + kSlotsPerBucket) / kSlotsPerBucket;
      check_invariant(count < (std::size_t{1} << 32), "a hash table is full");
      Buckets grown(count);
      const Bucket* const old = buckets_;
      const Buckets old_owned = std::exchange(owned_, std::move(grown));
      buckets_ = owned_.get();
      const std::size_t old_count = bucket_count_;
      bucket_count_ = count;
      max_size_ = count * kSlotsPerBucket * kMaxLoadPercent / 100;
      for (std::size_t b = 0; b < old_count; ++b) {
        for (const Slot& slot : old[b].slots) {
          if (Traits::empty(slot)) continue;
          probe(Traits::hash(slot), [](const Slot&) { return false; }) = slot;
        }
      }
    }

   private:
    // The bits below the segment's pick the bucket.
    std::size_t bucket_of(std::uint32_t hash) const {
      return static_cast<std::size_t>((std::uint64_t{hash << kSegmentBits} * bucket_count_) >> 32);
    }

    Bucket* buckets_ = nullptr;  // `owned_`, or a slice of the table's shared block
    Buckets owned_;
    std::size_t bucket_count_ = 0;
    std::size_t size_ = 0;
    std::size_t max_size_ = 0;  // slots in use before the segment grows
  };

  Segment& segment(std::uint32_t hash) { return segments_[hash >> (32 - kSegmentBits)]; }
  const Segment& segment(std::uint32_t hash) const {
    return segments_[hash >> (32 - kSegmentBits)];
  }
  // Makes room for about `count` more slots spread evenly by hash.
  void reserve(std::size_t count) {
    const std::size_t per_segment = count / std::size(segments_) + count / std::size(segments_) / 8;
    if (!shared_ && capacity() == 0) {
      // Room for per_segment slots (a bucket at least), the way Segment::grow sizes it.
      const std::size_t buckets =
          (per_segment * 100 / kMaxLoadPercent + kSlotsPerBucket) / kSlotsPerBucket;
      if (buckets <= kSharedBuckets / std::size(segments_)) {
        shared_ = Buckets(buckets * std::size(segments_));
        for (std::size_t i = 0; i < std::size(segments_); ++i) {
          segments_[i].start_in(&shared_[i * buckets], buckets);
        }
        return;
      }
    }
    for (Segment& segment : segments_) {
      if (segment.size() + per_segment > segment.capacity())
        segment.grow(segment.size() + per_segment);
    }
  }

 private:
  // Slots in use per hundred before a segment grows: probes rarely leave the first bucket.
  static constexpr std::size_t kMaxLoadPercent = 80;
  static constexpr unsigned kSegmentBits = 6;
  // The largest shared block, in buckets (64 KB): past it, segments allocate on their own.
  static constexpr std::size_t kSharedBuckets = 1024;

  std::size_t capacity() const {
    std::size_t slots = 0;
    for (const Segment& segment : segments_) slots += segment.capacity();
    return slots;
  }

  Buckets shared_;  // the segments' first buckets, when they share a block
  Segment segments_[std::size_t{1} << kSegmentBits];
};

}  // namespace tarnvel

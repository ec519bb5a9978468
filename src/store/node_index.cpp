#include "store/node_index.hpp"

#include <algorithm>
#include <iterator>

namespace tarnvel {
namespace {

// Slots in use per hundred before a segment grows: with eight slots to a bucket, probes rarely
// leave the first one.
constexpr std::size_t kMaxLoadPercent = 80;

}  // namespace

NodeIndex::Slot& NodeIndex::Segment::free_slot(std::uint32_t hash) const {
  for (std::size_t bucket = bucket_of(hash);; bucket = next(bucket)) {
    for (Slot& slot : buckets[bucket].slots) {
      if (slot.id == kNoId) return slot;
    }
  }
}

void NodeIndex::reserve(std::size_t count) {
  const std::size_t per_segment = count / std::size(segments_) + count / std::size(segments_) / 8;
  for (Segment& segment : segments_) {
    if (segment.size + per_segment > segment.max_size) segment.grow(segment.size + per_segment);
  }
}

void NodeIndex::insert(std::uint32_t hash, std::uint32_t id) noexcept {
  Segment& segment = segments_[segment_of(hash)];
  segment.free_slot(hash) = Slot{id, hash};
  ++segment.size;
}

// The new buckets are allocated before anything changes, and placing the slots cannot fail.
void NodeIndex::Segment::grow(std::size_t min_slots) {
  const std::size_t slots = std::max({min_slots, 2 * size, kSlotsPerBucket});
  const std::size_t count = (slots * 100 / kMaxLoadPercent + kSlotsPerBucket) / kSlotsPerBucket;
  std::unique_ptr<Bucket[]> old = std::make_unique<Bucket[]>(count);
  std::swap(old, buckets);
  const std::size_t old_count = bucket_count;
  bucket_count = count;
  max_size = count * kSlotsPerBucket * kMaxLoadPercent / 100;
  for (std::size_t b = 0; b < old_count; ++b) {
    for (const Slot& slot : old[b].slots) {
      if (slot.id != kNoId) free_slot(slot.hash) = slot;
    }
  }
}

}  // namespace tarnvel

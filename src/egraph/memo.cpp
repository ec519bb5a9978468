#include "egraph/memo.hpp"

#include <algorithm>
#include <iterator>
#include <limits>

#include "support/fault.hpp"

namespace tarnvel::egraph {
namespace {

// Entries per slot before the table grows: probes stay short with four slots to a bucket.
constexpr std::size_t kMaxLoadPercent = 80;

std::uint64_t mix(std::uint64_t h) {
  h ^= h >> 31;
  h *= 0x94D049BB133111EBu;
  h ^= h >> 29;
  return h;
}

}  // namespace

std::uint32_t Memo::inline_hash(std::uint32_t head, std::uint32_t first, std::uint32_t second) {
  const std::uint64_t h =
      (std::uint64_t{head} << 32 | first) * 0x9E3779B97F4A7C15u ^ std::uint64_t{second} * 0xBF58476D1CE4E5B9u;
  return static_cast<std::uint32_t>(mix(h) >> 32);
}

Memo::Key::Key(const ENode& node) : node(&node) {
  const std::size_t arity = node.children.size();
  if (arity <= 2 && node.op.value < (1u << 30)) {
    head = static_cast<std::uint32_t>(arity) << 30 | node.op.value;
    first = arity > 0 ? node.children[0] : 0;
    second = arity > 1 ? node.children[1] : 0;
    hash = inline_hash(head, first, second);
    return;
  }
  std::uint64_t h = std::uint64_t{node.op.value} * 0x9E3779B97F4A7C15u ^ arity;
  for (Id child : node.children) h = mix((h ^ child) * 0xBF58476D1CE4E5B9u);
  head = kWide;
  hash = static_cast<std::uint32_t>(mix(h) >> 32);
  first = hash;
  second = 0;
}

Memo::Slot* Memo::Segment::probe(const Key& key, const Memo& memo) const {
  std::size_t bucket = bucket_of(key.hash);
  while (true) {
    for (Slot& slot : buckets[bucket].slots) {
      if (slot.head == kEmpty || memo.matches(slot, key)) return &slot;
    }
    if (++bucket == bucket_count) bucket = 0;
  }
}

void Memo::reserve(std::size_t count) {
  const std::size_t per_segment = count / std::size(segments_) + count / std::size(segments_) / 8;
  for (Segment& segment : segments_) {
    if (segment.size + per_segment > segment.max_size) segment.grow(segment.size + per_segment);
  }
}

// The new buckets are allocated before anything changes, and moving the entries cannot fail.
void Memo::Segment::grow(std::size_t min_entries) {
  const std::size_t entries = std::max({min_entries, 2 * size, std::size_t{8}});
  const std::size_t slots = entries * 100 / kMaxLoadPercent + 1;
  const std::size_t count = (slots + kSlotsPerBucket - 1) / kSlotsPerBucket;
  check_invariant(count < (std::size_t{1} << 32), "memo is full");
  auto fresh = std::make_unique<Bucket[]>(count);
  std::swap(fresh, buckets);
  const std::size_t old_count = bucket_count;
  bucket_count = count;
  max_size = count * kSlotsPerBucket * kMaxLoadPercent / 100;
  for (std::size_t b = 0; b < old_count; ++b) {
    for (const Slot& slot : fresh[b].slots) {
      if (slot.head == kEmpty) continue;
      const std::uint32_t hash =
          slot.head == kWide ? slot.first : inline_hash(slot.head, slot.first, slot.second);
      for (std::size_t bucket = bucket_of(hash);; bucket = bucket + 1 == bucket_count ? 0 : bucket + 1) {
        Slot* free = std::find_if(std::begin(buckets[bucket].slots), std::end(buckets[bucket].slots),
                                  [](const Slot& candidate) { return candidate.head == kEmpty; });
        if (free == std::end(buckets[bucket].slots)) continue;
        *free = slot;
        break;
      }
    }
  }
}

std::optional<Id> Memo::find(const ENode& node) const {
  const Key key(node);
  const Segment& segment = segments_[segment_of(key.hash)];
  if (segment.size == 0) return std::nullopt;
  const Slot* slot = segment.probe(key, *this);
  if (slot->head == kEmpty) return std::nullopt;
  return slot->id;
}

std::pair<Id*, bool> Memo::insert(const ENode& node, Id id) {
  const Key key(node);
  Segment& segment = segments_[segment_of(key.hash)];
  if (segment.size + 1 > segment.max_size) segment.grow(segment.size + 1);
  Slot* slot = segment.probe(key, *this);
  if (slot->head != kEmpty) return {&slot->id, false};
  std::uint32_t second = key.second;
  if (key.head == kWide) {
    check_invariant(wide_.size() < std::numeric_limits<std::uint32_t>::max(), "memo is full");
    second = static_cast<std::uint32_t>(wide_.size());
    wide_.emplace_back(node);  // the only step that can fail, and nothing has changed yet
  }
  *slot = Slot{key.head, key.first, second, id};
  ++segment.size;
  ++size_;
  return {&slot->id, true};
}

}  // namespace tarnvel::egraph

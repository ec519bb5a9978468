// Pool<T>: short arrays ("ranges") carved from large chunks that the pool owns, for the e-graph's
// per-class lists. A range is named by a 32-bit offset, never moves and is never freed on its own:
// a list that outgrows its range is moved to a bigger one and the old range is left behind. With
// capacities doubling, what is left behind is at most what is in use, and everything is released
// at once with the pool, instead of one heap block per list.
//
// Elements are default-initialized (an Id holds no value until written) and are assigned into.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "support/fault.hpp"

namespace tarnvel::egraph {

template <class T, unsigned kChunkBits>
class Pool {
 public:
  using Offset = std::uint32_t;
  // Never an offset the pool hands out, for owners to mark a range they do not have.
  static constexpr Offset kNoOffset = ~Offset{0};

  // A range with room for `capacity` elements. A range bigger than a chunk gets a chunk of its own.
  // Chunks start small and double up to the full size, so that a small e-graph stays small.
  Offset allocate(std::size_t capacity) {
    if (capacity > kChunkSize) return new_chunk(capacity);
    if (carving_ == kNone || used_ + capacity > carving_size_) {
      carving_size_ = std::max(next_size_, capacity);
      carving_ = new_chunk(carving_size_) >> kChunkBits;
      next_size_ = std::min(2 * next_size_, kChunkSize);
      used_ = 0;
    }
    const Offset offset = (carving_ << kChunkBits) | static_cast<Offset>(used_);
    used_ += capacity;
    return offset;
  }

  T* data(Offset offset) { return chunks_[offset >> kChunkBits].get() + (offset & kMask); }
  const T* data(Offset offset) const {
    return chunks_[offset >> kChunkBits].get() + (offset & kMask);
  }

 private:
  static constexpr std::size_t kChunkSize = std::size_t{1} << kChunkBits;
  static constexpr Offset kMask = static_cast<Offset>(kChunkSize - 1);
  static constexpr std::size_t kNone = ~std::size_t{0};

  Offset new_chunk(std::size_t size) {
    // The last chunk number stays unused, so that no offset is kNoOffset.
    check_invariant(chunks_.size() + 1 < (std::size_t{1} << (32 - kChunkBits)),
                    "e-graph pool is full");
    auto chunk = std::make_unique_for_overwrite<T[]>(size);
    chunks_.push_back(std::move(chunk));
    return static_cast<Offset>((chunks_.size() - 1) << kChunkBits);
  }

  std::vector<std::unique_ptr<T[]>> chunks_;
  std::size_t carving_ = kNone;  // the chunk small ranges are carved from
  std::size_t carving_size_ = 0;
  std::size_t used_ = 0;         // elements of that chunk handed out
  std::size_t next_size_ = std::min<std::size_t>(kChunkSize, 256);
};

}  // namespace tarnvel::egraph

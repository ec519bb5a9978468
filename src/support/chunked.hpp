// Chunked<T>: an append-only sequence stored in chunks.
//
// Growing never moves an element (references stay valid and nothing is copied), and no single
// allocation grows with the sequence: a doubling vector would hold the old and the new buffer at
// once, and the storage of a large e-graph or fusion result is carved from ordinary heap blocks
// that the allocator reuses from run to run instead of fresh pages every time.
//
// A small sequence allocates for its size: the first chunk holds 16 elements and each next one
// doubles the room, up to 2^kChunkBits elements, from where every chunk has that size. So the
// chunks before the full-size ones together hold exactly 2^kChunkBits elements, every chunk is
// filled before the next is made, and an element is found with a shift or a bit count.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace tarnvel {

template <class T, unsigned kChunkBits = 14>
class Chunked {
 public:
  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  T& operator[](std::size_t index) { return chunks_[chunk_of(index)][offset_of(index)]; }
  const T& operator[](std::size_t index) const {
    return chunks_[chunk_of(index)][offset_of(index)];
  }

  // A failure leaves the elements as they were.
  template <class... Args>
  T& emplace_back(Args&&... args) {
    if (size_ == capacity_) {
      const std::size_t room = room_of(chunks_.size());
      std::vector<T> chunk;
      chunk.reserve(room);
      chunks_.push_back(std::move(chunk));
      capacity_ += room;
    }
    T& added = chunks_.back().emplace_back(std::forward<Args>(args)...);
    ++size_;
    return added;
  }

 private:
  static_assert(kChunkBits > 4, "chunks start at 16 elements and grow from there");
  static constexpr unsigned kFirstBits = 4;
  static constexpr std::size_t kChunkSize = std::size_t{1} << kChunkBits;
  static constexpr std::size_t kMask = kChunkSize - 1;
  // Chunks 0 to kGrowing hold the first kChunkSize elements: 16, 16, 32, ..., kChunkSize / 2.
  static constexpr std::size_t kGrowing = kChunkBits - kFirstBits;

  static constexpr std::size_t room_of(std::size_t chunk) {
    if (chunk == 0) return std::size_t{1} << kFirstBits;
    if (chunk <= kGrowing) return std::size_t{1} << (kFirstBits + chunk - 1);
    return kChunkSize;
  }
  static std::size_t chunk_of(std::size_t index) {
    if (index >= kChunkSize) [[likely]] {
      return kGrowing + (index >> kChunkBits);
    }
    // Chunk j > 0 starts at 2^(kFirstBits + j - 1): the index's highest bit names it.
    return static_cast<std::size_t>(std::bit_width(index | ((std::size_t{1} << kFirstBits) - 1))) -
           kFirstBits;
  }
  static std::size_t offset_of(std::size_t index) {
    if (index >= kChunkSize) [[likely]] {
      return index & kMask;
    }
    if (index < (std::size_t{1} << kFirstBits)) return index;
    return index ^ std::bit_floor(index);
  }

  std::vector<std::vector<T>> chunks_;  // each reserved to its room once, so never reallocated
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;  // the room of all chunks
};

}  // namespace tarnvel

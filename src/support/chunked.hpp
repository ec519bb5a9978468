// Chunked<T>: an append-only sequence stored in fixed-size chunks.
//
// No single allocation grows with the sequence: a doubling vector would hold the old and the new
// buffer at once, and the storage of a large e-graph or fusion result is carved from ordinary heap
// blocks that the allocator reuses from run to run instead of fresh pages every time.
//
// A small sequence allocates for its size: the first chunk starts with room for 16 elements and
// doubles up to the full chunk size, moving its elements when it does. From the second chunk on
// nothing moves. So references to elements stay valid across growth only once the sequence has
// outgrown its first chunk; owners hold none across an append.
#pragma once

#include <algorithm>
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
  T& operator[](std::size_t index) { return chunks_[index >> kChunkBits][index & kMask]; }
  const T& operator[](std::size_t index) const {
    return chunks_[index >> kChunkBits][index & kMask];
  }

  // A failure leaves the elements as they were. REQUIRES: `args` do not refer into the sequence.
  template <class... Args>
  T& emplace_back(Args&&... args) {
    if (size_ == capacity_) grow();
    T& added = chunks_.back().emplace_back(std::forward<Args>(args)...);
    ++size_;
    return added;
  }

 private:
  static constexpr std::size_t kChunkSize = std::size_t{1} << kChunkBits;
  static constexpr std::size_t kMask = kChunkSize - 1;
  static constexpr std::size_t kFirstRoom = std::min<std::size_t>(16, kChunkSize);

  void grow() {
    if (chunks_.size() == 1 && capacity_ < kChunkSize) {
      const std::size_t room = std::min(2 * capacity_, kChunkSize);
      chunks_[0].reserve(room);
      capacity_ = room;
      return;
    }
    const std::size_t room = chunks_.empty() ? kFirstRoom : kChunkSize;
    std::vector<T> chunk;
    chunk.reserve(room);
    chunks_.push_back(std::move(chunk));
    capacity_ += room;
  }

  // Each chunk but a growing first one is reserved to kChunkSize once, so never reallocated.
  std::vector<std::vector<T>> chunks_;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;  // the room of all chunks
};

}  // namespace tarnvel

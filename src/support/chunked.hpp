// Chunked<T>: an append-only sequence stored in fixed-size chunks.
//
// Growing never moves an element (references stay valid and nothing is copied), and no single
// allocation grows with the sequence: a doubling vector would hold the old and the new buffer at
// once, and the storage of a large e-graph or fusion result is carved from ordinary heap blocks
// that the allocator reuses from run to run instead of fresh pages every time.
#pragma once

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

  // A failure leaves the elements as they were.
  template <class... Args>
  T& emplace_back(Args&&... args) {
    if (size_ == chunks_.size() * kChunkSize) {
      std::vector<T> chunk;
      chunk.reserve(kChunkSize);
      chunks_.push_back(std::move(chunk));
    }
    T& added = chunks_[size_ >> kChunkBits].emplace_back(std::forward<Args>(args)...);
    ++size_;
    return added;
  }

 private:
  static constexpr std::size_t kChunkSize = std::size_t{1} << kChunkBits;
  static constexpr std::size_t kMask = kChunkSize - 1;

  std::vector<std::vector<T>> chunks_;  // each reserved to kChunkSize once, so never reallocated
  std::size_t size_ = 0;
};

}  // namespace tarnvel

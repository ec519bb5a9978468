// AppendOnlyList<T>: a list that grows at its end in fixed-size chunks, with views that read it
// without any lock while its owner keeps appending.
//
// A chunk's storage is reserved once and never reallocated, so appending never moves or changes
// an element, and capacity overshoots by at most one chunk (a doubling vector could hold twice the
// memory the elements need). Truncating destroys only the elements from the new size on: the
// earlier ones stay where they are.
//
// Threads: the owner serializes every change and takes views under that same serialization. A view
// may then be read on any thread, concurrently with later changes, while the list lives and is
// never truncated below the view's size.
#pragma once

#include <algorithm>
#include <cstddef>
#include <utility>
#include <vector>

namespace tarnvel {

template <class T>
class AppendOnlyList {
 public:
  static constexpr std::size_t kChunkSize = 1024;

  // The elements the list held when the view was taken, in order.
  class View {
   public:
    View() = default;  // of no elements
    std::size_t size() const noexcept { return size_; }
    const T& operator[](std::size_t i) const { return chunks_[i / kChunkSize][i % kChunkSize]; }

   private:
    friend class AppendOnlyList;
    View(std::vector<const T*> chunks, std::size_t size)
        : chunks_(std::move(chunks)), size_(size) {}
    std::vector<const T*> chunks_;  // the first element of each chunk the view covers
    std::size_t size_ = 0;
  };

  std::size_t size() const noexcept { return size_; }
  const T& operator[](std::size_t i) const { return chunks_[i / kChunkSize][i % kChunkSize]; }

  // Constructs the element in place; a failure leaves the elements as they were.
  template <class Arg>
  void emplace_back(Arg&& arg) {
    if (size_ == chunks_.size() * kChunkSize) {
      reserve(1);
      std::vector<T> chunk;
      chunk.reserve(kChunkSize);
      chunks_.push_back(std::move(chunk));  // cannot throw: room reserved above
    }
    chunks_[size_ / kChunkSize].emplace_back(std::forward<Arg>(arg));  // within the reserved chunk
    ++size_;
  }

  // Makes room in the chunk table for `extra` more elements (the chunks are allocated on demand).
  // The table grows geometrically, so that reserving ahead of every small append stays linear.
  void reserve(std::size_t extra) {
    const std::size_t needed = (size_ + extra + kChunkSize - 1) / kChunkSize;
    if (needed > chunks_.capacity()) chunks_.reserve(std::max(needed, 2 * chunks_.capacity()));
  }

  // Destroys the elements from `size` on, and the chunks left empty.
  void truncate(std::size_t size) noexcept {
    for (; size_ > size; --size_) chunks_[(size_ - 1) / kChunkSize].pop_back();
    const std::size_t used = (size_ + kChunkSize - 1) / kChunkSize;
    if (chunks_.size() > used)
      chunks_.erase(chunks_.begin() + static_cast<std::ptrdiff_t>(used), chunks_.end());
  }

  // A copy of the elements from position `start` on; empty when `start` is at or past the end.
  std::vector<T> copy(std::size_t start) const {
    std::vector<T> out;
    if (start >= size_) return out;
    out.reserve(size_ - start);
    for (std::size_t i = start; i < size_; ++i) out.push_back((*this)[i]);
    return out;
  }

  View view() const {
    std::vector<const T*> starts;
    const std::size_t used = (size_ + kChunkSize - 1) / kChunkSize;
    starts.reserve(used);
    for (std::size_t c = 0; c < used; ++c) starts.push_back(chunks_[c].data());
    return View(std::move(starts), size_);
  }

 private:
  std::vector<std::vector<T>> chunks_;  // each reserved to kChunkSize when added
  std::size_t size_ = 0;
};

}  // namespace tarnvel

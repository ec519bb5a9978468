// Chunked<T>: an append-only sequence kept in chunks that are allocated once, at their final size,
// and never move; with views that read it without any lock while its owner keeps appending.
//
// Chunk sizes start at 16 elements and double (16, 16, 32, ..., kChunkSize / 2) until the chunks
// hold kChunkSize elements in all; every later chunk holds kChunkSize. So a small sequence
// allocates for its size, and a large one in fixed chunks: no allocation grows with the sequence
// (a doubling vector would hold the old and the new buffer at once), capacity overshoots by at most
// one chunk, and the allocator reuses the blocks from run to run. An element keeps its address
// until it is truncated away. Truncating destroys only the elements from the new size on.
//
// Threads: the owner serializes every change and takes views under that same serialization. A view
// may then be read on any thread, concurrently with later changes, while the sequence lives and is
// never truncated below the view's size.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <memory>
#include <utility>
#include <vector>

namespace tarnvel {

template <class T, unsigned kChunkBits = 14>
class Chunked {
  static constexpr unsigned kFirstBits = 4;
  static_assert(kChunkBits >= kFirstBits && kChunkBits < 32);

  // Room for chunk_size(c) elements, the first of which is element `start` of the sequence.
  struct Chunk {
    T* data;
    std::size_t start;
  };

 public:
  static constexpr std::size_t kChunkSize = std::size_t{1} << kChunkBits;

  // The elements the sequence held when the view was taken, in order.
  class View {
   public:
    View() = default;  // of no elements
    std::size_t size() const noexcept { return size_; }
    const T& operator[](std::size_t i) const { return *slot(chunks_.data(), i); }

   private:
    friend class Chunked;
    View(std::vector<Chunk> chunks, std::size_t size) : chunks_(std::move(chunks)), size_(size) {}
    std::vector<Chunk> chunks_;  // the chunks that hold the view's elements
    std::size_t size_ = 0;
  };

  Chunked() = default;
  Chunked(const Chunked& other) : Chunked() {  // delegating: a failed copy destroys what it made
    reserve(other.size_);
    for (std::size_t i = 0; i < other.size_; ++i) emplace_back(other[i]);
  }
  Chunked(Chunked&& other) noexcept
      : chunks_(std::exchange(other.chunks_, {})),
        size_(std::exchange(other.size_, 0)),
        capacity_(std::exchange(other.capacity_, 0)) {}
  Chunked& operator=(Chunked other) noexcept {
    std::swap(chunks_, other.chunks_);
    std::swap(size_, other.size_);
    std::swap(capacity_, other.capacity_);
    return *this;
  }
  ~Chunked() { truncate(0); }

  std::size_t size() const noexcept { return size_; }
  bool empty() const noexcept { return size_ == 0; }
  // The elements the allocated chunks have room for.
  std::size_t capacity() const noexcept { return capacity_; }
  T& operator[](std::size_t i) { return *slot(chunks_.data(), i); }
  const T& operator[](std::size_t i) const { return *slot(chunks_.data(), i); }

  // Constructs the element in place; a failure leaves the elements as they were.
  // REQUIRES: `args` do not refer into the sequence.
  template <class... Args>
  T& emplace_back(Args&&... args) {
    if (size_ == capacity_) add_chunk();
    const Chunk& last = chunks_.back();  // the chunk of element size_: none follows it
    T* added = std::construct_at(last.data + (size_ - last.start), std::forward<Args>(args)...);
    ++size_;
    return *added;
  }

  // Makes room in the chunk table for `extra` more elements (the chunks are allocated on demand).
  // The table grows geometrically, so that reserving ahead of every small append stays linear.
  void reserve(std::size_t extra) {
    if (extra == 0) return;
    const std::size_t needed = chunks_for(size_ + extra);
    if (needed > chunks_.capacity()) chunks_.reserve(std::max(needed, 2 * chunks_.capacity()));
  }

  // Destroys the elements from `size` on, and frees the chunks left empty.
  void truncate(std::size_t size) noexcept {
    // Chunk by chunk, from the last that holds elements.
    for (std::size_t c = chunks_for(size_); c-- > 0 && size_ > size;) {
      const Chunk& chunk = chunks_[c];
      const std::size_t first = std::max(size, chunk.start);
      std::destroy(chunk.data + (first - chunk.start), chunk.data + (size_ - chunk.start));
      size_ = first;
    }
    const std::size_t used = chunks_for(size_);
    while (chunks_.size() > used) {
      const std::size_t room = chunk_size(chunks_.size() - 1);
      std::allocator<T>().deallocate(chunks_.back().data, room);
      chunks_.pop_back();
      capacity_ -= room;
    }
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
    return View(std::vector<Chunk>(chunks_.begin(), chunks_.begin() + chunks_for(size_)), size_);
  }

 private:
  static constexpr std::size_t kFirstSize = std::size_t{1} << kFirstBits;
  // Chunks 0 to kGrowing - 1 hold kChunkSize elements in all; the later ones kChunkSize each.
  static constexpr std::size_t kGrowing = kChunkBits - kFirstBits + 1;

  static constexpr std::size_t chunk_size(std::size_t chunk) noexcept {
    if (chunk >= kGrowing) return kChunkSize;
    return chunk == 0 ? kFirstSize : kFirstSize << (chunk - 1);
  }
  // The chunk that holds element `i`: a growing chunk c > 0 starts at 2^(c + 3), the highest bit of
  // its elements' indices, and chunk 0 holds 0 to 15. Two shifts and one branch: it is on the
  // e-graph's and the store's innermost paths.
  static std::size_t chunk_of(std::size_t i) noexcept {
    if (i >= kChunkSize) return (i >> kChunkBits) + (kGrowing - 1);
    // In unsigned: the subtraction folds into the bit scan's result with no sign extension.
    return static_cast<unsigned>(std::bit_width(i | (kFirstSize - 1))) - kFirstBits;
  }
  static std::size_t chunks_for(std::size_t size) noexcept {
    return size == 0 ? 0 : chunk_of(size - 1) + 1;
  }
  static T* slot(const Chunk* chunks, std::size_t i) noexcept {
    // Past the growing chunks an index's low bits are its offset: no start is read.
    if (i >= kChunkSize) return chunks[chunk_of(i)].data + (i & (kChunkSize - 1));
    const Chunk& chunk = chunks[chunk_of(i)];
    return chunk.data + (i - chunk.start);
  }

  void add_chunk() {
    // The table's room first: once the chunk is allocated, nothing can fail.
    if (chunks_.size() == chunks_.capacity())
      chunks_.reserve(std::max<std::size_t>(4, 2 * chunks_.size()));
    const std::size_t room = chunk_size(chunks_.size());
    chunks_.push_back(Chunk{std::allocator<T>().allocate(room), capacity_});
    capacity_ += room;
  }

  std::vector<Chunk> chunks_;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

}  // namespace tarnvel

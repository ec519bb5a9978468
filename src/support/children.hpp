// Children: the ordered child ids of a node, in 12 bytes, so that a node with a 32-bit operator
// takes 16. The store's, the optimizer's and the e-graph's nodes all keep their children so.
//
// Up to two ids live inline (nearly every node of a dataflow graph has one or two operands); a
// longer list lives in one heap block the list owns, its capacity first. Copying is deep.
#pragma once

#include <algorithm>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <limits>
#include <new>
#include <span>
#include <utility>

namespace tarnvel {

class Children {
 public:
  using value_type = std::uint32_t;
  using iterator = value_type*;
  using const_iterator = const value_type*;

  // The length is counted in 32 bits: a longer list is refused with std::bad_alloc, as if memory
  // had run out, before any id is read.
  static constexpr std::size_t kMaxSize = std::numeric_limits<std::uint32_t>::max();

  Children() noexcept = default;
  Children(std::initializer_list<value_type> ids) { assign(ids.begin(), ids.size()); }
  // REQUIRES: every id is below 2^32.
  template <class Id>
  explicit Children(std::span<const Id> ids) {
    assign(ids.data(), ids.size());
  }
  Children(const Children& other) {
    if (other.size_ <= kInline) {  // the common case: two words, no call to memmove
      size_ = other.size_;
      words_[0] = other.words_[0];
      words_[1] = other.words_[1];
    } else {
      assign(other.heap_ids(), other.size_);
    }
  }
  Children(Children&& other) noexcept { steal(other); }
  Children& operator=(const Children& other) {
    if (this != &other) {
      Children copy(other);
      release();
      steal(copy);
    }
    return *this;
  }
  Children& operator=(Children&& other) noexcept {
    if (this != &other) {
      release();
      steal(other);
    }
    return *this;
  }
  ~Children() { release(); }

  std::size_t size() const noexcept { return size_; }
  bool empty() const noexcept { return size_ == 0; }
  value_type* data() noexcept { return size_ <= kInline ? words_ : heap_ids(); }
  const value_type* data() const noexcept { return size_ <= kInline ? words_ : heap_ids(); }
  value_type* begin() noexcept { return data(); }
  value_type* end() noexcept { return data() + size_; }
  const value_type* begin() const noexcept { return data(); }
  const value_type* end() const noexcept { return data() + size_; }
  value_type& operator[](std::size_t i) noexcept { return data()[i]; }
  value_type operator[](std::size_t i) const noexcept { return data()[i]; }
  std::span<const value_type> ids() const noexcept { return {data(), size_}; }

  void push_back(value_type id) {
    if (size_ < kInline) {
      words_[size_++] = id;
      return;
    }
    if (size_ == kMaxSize) throw std::bad_alloc();
    if (size_ == kInline || size_ == heap_capacity()) grow(next_capacity());
    heap_ids()[size_++] = id;
  }
  void clear() noexcept {
    release();
    size_ = 0;
  }

  // Whether the list holds exactly these ids, given in any integer type. A plain loop: children
  // are a few ids, too short to pay for a call to memcmp.
  template <class Id>
  bool equals(std::span<const Id> ids) const noexcept {
    if (ids.size() != size_) return false;
    const value_type* mine = data();
    for (std::size_t i = 0; i < ids.size(); ++i) {
      if (mine[i] != ids[i]) return false;
    }
    return true;
  }

  friend bool operator==(const Children& a, const Children& b) noexcept {
    return a.equals(b.ids());
  }
  friend std::strong_ordering operator<=>(const Children& a, const Children& b) noexcept {
    return std::lexicographical_compare_three_way(a.begin(), a.end(), b.begin(), b.end());
  }
  template <class H>
  friend H AbslHashValue(H state, const Children& children) {
    return H::combine(H::combine_contiguous(std::move(state), children.data(), children.size_),
                      children.size_);
  }

 private:
  static constexpr std::uint32_t kInline = 2;
  // Heap form, exactly when size_ > kInline: words_ hold the bytes of a pointer to a block whose
  // first element is the capacity and whose ids follow.
  value_type* heap_block() const noexcept {
    value_type* block;
    std::memcpy(&block, words_, sizeof block);
    return block;
  }
  value_type* heap_ids() const noexcept { return heap_block() + 1; }
  std::uint32_t heap_capacity() const noexcept { return heap_block()[0]; }
  void set_block(value_type* block) noexcept { std::memcpy(words_, &block, sizeof block); }
  // The capacity a full list grows to: four, then double, up to kMaxSize.
  std::uint32_t next_capacity() const noexcept {
    if (size_ == kInline) return 4;
    return static_cast<std::uint32_t>(std::min<std::size_t>(2 * std::size_t{size_}, kMaxSize));
  }

  void grow(std::uint32_t capacity) {
    auto* block = new value_type[std::size_t{capacity} + 1];
    block[0] = capacity;
    std::copy(data(), data() + size_, block + 1);
    release();
    set_block(block);
  }
  template <class Id>
  void assign(const Id* ids, std::size_t count) {
    value_type* to = words_;
    if (count > kInline) {
      if (count > kMaxSize) throw std::bad_alloc();
      grow(static_cast<std::uint32_t>(count));
      to = heap_ids();
    }
    for (std::size_t i = 0; i < count; ++i) to[i] = static_cast<value_type>(ids[i]);
    size_ = static_cast<std::uint32_t>(count);
  }
  void release() noexcept {
    if (size_ > kInline) delete[] heap_block();
  }
  void steal(Children& other) noexcept {
    size_ = other.size_;
    words_[0] = other.words_[0];
    words_[1] = other.words_[1];
    other.size_ = 0;
  }

  std::uint32_t size_ = 0;
  value_type words_[kInline] = {0, 0};  // the inline ids, or the heap block's pointer
};

static_assert(sizeof(Children) == 12);

}  // namespace tarnvel

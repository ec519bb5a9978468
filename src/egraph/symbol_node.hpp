// SymbolNode: an operator symbol applied to ordered child classes (the e-node type of the e-graph).
//
// Equality and hashing cover both fields. The total order is by symbol number, then children
// element by element, a prefix before any longer sequence; class node lists are kept in this order.
#pragma once

#include <algorithm>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <utility>

#include "egraph/id.hpp"
#include "egraph/symbol_table.hpp"

namespace tarnvel::egraph {

// The children of an e-node in 12 bytes, so that an e-node takes 16. Up to two ids live inline
// (nearly every e-node of a dataflow graph has one or two operands); a longer list lives in one
// heap block that the list owns. Copying is deep.
class Children {
 public:
  using value_type = Id;
  using iterator = Id*;
  using const_iterator = const Id*;

  Children() noexcept = default;
  Children(std::initializer_list<Id> ids) { assign(ids.begin(), ids.size()); }
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
  Id* data() noexcept { return size_ <= kInline ? words_ : heap_ids(); }
  const Id* data() const noexcept { return size_ <= kInline ? words_ : heap_ids(); }
  Id* begin() noexcept { return data(); }
  Id* end() noexcept { return data() + size_; }
  const Id* begin() const noexcept { return data(); }
  const Id* end() const noexcept { return data() + size_; }
  Id& operator[](std::size_t i) noexcept { return data()[i]; }
  Id operator[](std::size_t i) const noexcept { return data()[i]; }

  void push_back(Id id) {
    if (size_ < kInline) {
      words_[size_++] = id;
      return;
    }
    if (size_ == kInline || size_ == heap_capacity()) grow(size_ == kInline ? 4 : 2 * size_);
    heap_ids()[size_++] = id;
  }
  void clear() noexcept {
    release();
    size_ = 0;
  }

  // A plain loop: children are a few ids, too short to pay for a call to memcmp.
  friend bool operator==(const Children& a, const Children& b) noexcept {
    if (a.size_ != b.size_) return false;
    const Id* left = a.data();
    const Id* right = b.data();
    for (std::uint32_t i = 0; i < a.size_; ++i) {
      if (left[i] != right[i]) return false;
    }
    return true;
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
  Id* heap_block() const noexcept {
    Id* block;
    std::memcpy(&block, words_, sizeof block);
    return block;
  }
  Id* heap_ids() const noexcept { return heap_block() + 1; }
  std::uint32_t heap_capacity() const noexcept { return heap_block()[0]; }
  void set_block(Id* block) noexcept { std::memcpy(words_, &block, sizeof block); }

  void grow(std::uint32_t capacity) {
    Id* block = new Id[capacity + 1];
    block[0] = capacity;
    std::copy(data(), data() + size_, block + 1);
    release();
    set_block(block);
  }
  void assign(const Id* ids, std::size_t count) {
    if (count > kInline) {
      grow(static_cast<std::uint32_t>(count));
      std::copy(ids, ids + count, heap_ids());
    } else {
      for (std::size_t i = 0; i < count; ++i) words_[i] = ids[i];
    }
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
  Id words_[kInline] = {0, 0};  // the inline ids, or the heap block's pointer
};

struct SymbolNode {
  using Children = egraph::Children;

  Symbol op;
  Children children;

  // Same operator and arity: the test a pattern node applies before looking at children.
  bool matches(const SymbolNode& other) const {
    return op == other.op && children.size() == other.children.size();
  }

  friend bool operator==(const SymbolNode& left, const SymbolNode& right) {
    return left.op == right.op && left.children == right.children;
  }
  friend bool operator<(const SymbolNode& left, const SymbolNode& right) {
    if (left.op != right.op) return left.op < right.op;
    return (left.children <=> right.children) < 0;
  }
  template <class H>
  friend H AbslHashValue(H state, const SymbolNode& node) {
    return H::combine(std::move(state), node.op, node.children);
  }
};

static_assert(sizeof(SymbolNode) == 16);

}  // namespace tarnvel::egraph

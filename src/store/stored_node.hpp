// StoredNode: one node as a store (or the incremental reducer's canonical form) keeps it: the id of
// its operator in an operator table, and its inputs. 16 bytes: up to two inputs sit inline, more
// live in one heap block the node owns. Names, params, descriptors and members are kept once per
// operator, in the table.
#pragma once

#include <cstdint>
#include <cstring>
#include <limits>
#include <span>
#include <utility>

#include "ir/node.hpp"
#include "support/seeded_hash.hpp"

namespace tarnvel {

class StoredNode {
 public:
  static constexpr std::size_t kMaxInputs = std::numeric_limits<std::uint32_t>::max();

  // REQUIRES: every input is below 2^32 (a store holds fewer nodes than that), and there are at
  // most kMaxInputs of them.
  template <class Id>
  StoredNode(OpId op, std::span<const Id> inputs)
      : op_(op), count_(static_cast<std::uint32_t>(inputs.size())) {
    std::uint32_t* to = inline_;
    if (count_ > kInline) {
      heap_ = new std::uint32_t[count_];
      to = heap_;
    }
    for (std::size_t i = 0; i < inputs.size(); ++i) to[i] = static_cast<std::uint32_t>(inputs[i]);
  }
  StoredNode(StoredNode&& other) noexcept : op_(other.op_), count_(other.count_) {
    std::memcpy(inline_, other.inline_, sizeof inline_);
    other.count_ = 0;
  }
  StoredNode& operator=(StoredNode&& other) noexcept {
    if (this != &other) {
      release();
      op_ = other.op_;
      count_ = other.count_;
      std::memcpy(inline_, other.inline_, sizeof inline_);
      other.count_ = 0;
    }
    return *this;
  }
  StoredNode(const StoredNode&) = delete;
  StoredNode& operator=(const StoredNode&) = delete;
  ~StoredNode() { release(); }

  OpId op() const noexcept { return op_; }
  std::span<const std::uint32_t> inputs() const noexcept {
    return {count_ > kInline ? heap_ : inline_, count_};
  }
  // Whether the node has this operator and these inputs.
  template <class Id>
  bool is(OpId op, std::span<const Id> inputs) const noexcept {
    if (op != op_ || inputs.size() != count_) return false;
    const std::uint32_t* mine = count_ > kInline ? heap_ : inline_;
    for (std::size_t i = 0; i < inputs.size(); ++i) {
      if (mine[i] != inputs[i]) return false;
    }
    return true;
  }

 private:
  static constexpr std::uint32_t kInline = 2;
  void release() noexcept {
    if (count_ > kInline) delete[] heap_;
  }

  OpId op_;
  std::uint32_t count_;
  union {
    std::uint32_t inline_[kInline];
    std::uint32_t* heap_;
  };
};

static_assert(sizeof(StoredNode) == 16);

}  // namespace tarnvel

// OperatorTable: interns operators (everything of a node but its inputs, held as a NodeKey without
// inputs) to dense 32-bit ids. Every table starts with the fixed operators at their fixed ids.
//
// Not synchronized: its owner serializes every change. Operators are only appended and never move,
// so a view (taken under the owner's serialization) reads them on any thread while the owner goes
// on interning. A view also keeps the operators it covers alive past the table, so a reader that
// keeps one (an IncrementalReducer, a reduction's result) never reads freed operators.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>

#include "ir/node.hpp"
#include "store/node_index.hpp"
#include "support/chunked.hpp"

namespace tarnvel {

class OperatorTable {
 public:
  class View {
   public:
    View() = default;  // of no operators
    std::size_t size() const noexcept { return ops_.size(); }
    const NodeKey& operator[](OpId op) const { return ops_[op]; }

   private:
    friend class OperatorTable;
    View(Chunked<NodeKey>::View ops, std::shared_ptr<const Chunked<NodeKey>> pin)
        : ops_(std::move(ops)), pin_(std::move(pin)) {}
    Chunked<NodeKey>::View ops_;
    std::shared_ptr<const Chunked<NodeKey>> pin_;
  };

  OperatorTable();
  OperatorTable(const OperatorTable&) = delete;
  OperatorTable& operator=(const OperatorTable&) = delete;

  // The id of the key's operator (its inputs are ignored), added when new. `hash` is
  // operator_hash of the key. A failure (std::bad_alloc) leaves the table as it was.
  OpId intern(const NodeKey& key, std::uint64_t hash);
  OpId intern(const KeyView& view, std::uint64_t hash);
  // The same for a key without inputs, moved in when new.
  OpId intern(NodeKey&& op, std::uint64_t hash);

  // The id of an operator whose hash agrees with `hash` on the bits the index keeps, unconfirmed:
  // nearly always the operator of that operator_hash when the table holds it. For a caller that
  // starts work needing the id (a node hash, a prefetch) before it compares the operators.
  std::optional<OpId> likely(std::uint64_t hash) const {
    return index_.find(hash, [](std::uint32_t) { return true; });
  }

  std::size_t size() const noexcept { return ops_->size(); }
  const NodeKey& operator[](OpId op) const { return (*ops_)[op]; }
  View view() const { return View(ops_->view(), ops_); }

 private:
  // `make` builds the operator to add when `key` is new.
  template <class Key, class Make>
  OpId intern_any(const Key& key, std::uint64_t hash, Make&& make);

  // Shared with the views; never null.
  std::shared_ptr<Chunked<NodeKey>> ops_ = std::make_shared<Chunked<NodeKey>>();
  NodeIndex index_;
};

}  // namespace tarnvel

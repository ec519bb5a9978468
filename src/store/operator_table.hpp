// OperatorTable: interns operators (everything of a node but its inputs, held as a NodeKey without
// inputs) to dense 32-bit ids. Every table starts with the fixed operators at their fixed ids.
//
// Not synchronized: its owner serializes every change. Operators are only appended and never move,
// so a view (taken under the owner's serialization) reads them on any thread while the owner goes
// on interning.
#pragma once

#include <cstdint>
#include <optional>

#include "ir/node.hpp"
#include "store/append_only_list.hpp"
#include "store/node_index.hpp"

namespace tarnvel {

class OperatorTable {
 public:
  using View = AppendOnlyList<NodeKey>::View;

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

  std::size_t size() const noexcept { return ops_.size(); }
  const NodeKey& operator[](OpId op) const { return ops_[op]; }
  View view() const { return ops_.view(); }

 private:
  // `make` builds the operator to add when `key` is new.
  template <class Key, class Make>
  OpId intern_any(const Key& key, std::uint64_t hash, Make&& make);

  AppendOnlyList<NodeKey> ops_;
  NodeIndex index_;
};

}  // namespace tarnvel

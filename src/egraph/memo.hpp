// Memo: the e-graph's hash-cons table from e-node to class id.
//
// Entries are added and overwritten but never removed, so after merges the table also holds
// outdated forms. Every key ever entered lives once in an append-only arena (growing never moves a
// key); the table itself holds 8-byte (key index, class id) slots hashed and compared through the
// arena, which keeps the probed memory small on large graphs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "absl/container/flat_hash_set.h"
#include "egraph/chunked.hpp"
#include "egraph/enode.hpp"

namespace tarnvel::egraph {

class Memo {
 public:
  struct Entry {
    std::uint32_t key;  // index into the arena
    mutable Id id;      // not part of the hashed or compared value
  };

  Memo();

  std::size_t size() const { return table_.size(); }
  void reserve(std::size_t count);

  std::optional<Id> find(const ENode& node) const;
  // Starts loading the table memory that finding or entering `node` will touch.
  void prefetch(const ENode& node) const { table_.prefetch(node); }
  // Enters `node` with `id` unless an equal key is present. Returns the entry for the key (whose
  // `id` the caller may overwrite) and whether it was entered now.
  std::pair<const Entry*, bool> insert(ENode node, Id id);
  const ENode& key(std::uint32_t index) const { return (*keys_)[index]; }
  void prefetch_key(std::uint32_t index) const { __builtin_prefetch(&(*keys_)[index]); }

 private:
  using Keys = Chunked<ENode>;

  struct Hash {
    using is_transparent = void;
    const Keys* keys;
    std::size_t operator()(const Entry& entry) const { return (*this)((*keys)[entry.key]); }
    std::size_t operator()(const ENode& node) const { return absl::Hash<ENode>{}(node); }
  };
  struct Equal {
    using is_transparent = void;
    const Keys* keys;
    bool operator()(const Entry& a, const Entry& b) const { return a.key == b.key; }
    bool operator()(const Entry& a, const ENode& b) const { return (*keys)[a.key] == b; }
    bool operator()(const ENode& a, const Entry& b) const { return a == (*keys)[b.key]; }
  };

  // On the heap so that the table's hasher keeps pointing at it when the Memo moves.
  std::unique_ptr<Keys> keys_;
  absl::flat_hash_set<Entry, Hash, Equal> table_;
};

}  // namespace tarnvel::egraph

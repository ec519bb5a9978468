// IncrementalReducer: follows one GraphStore while it grows and keeps a canonical form of it up to
// date, so that the final reduction runs over the canonical form instead of the whole history.
//
// Each `step` consumes the store nodes recorded since the last one, exactly once each, and folds
// them in with the simplifications the rewrite engine's rules make (rules.hpp), in one forward
// pass: identity elimination, commutativity deduplication, hash-consing. `finalize` runs the
// reduction pipeline over the canonical form and expresses its node map in store ids.
//
// The canonical form means something only for the store whose nodes it consumed: the first step
// that consumes a node binds the reducer to that store's identity (GraphStore::identity), and every
// later step or finalize with another store is refused with OtherStore, changing nothing.
//
// Invariants: `canonical` holds no two equal keys and every input of a canonical node is a smaller
// canonical id; every entry of `to_canonical` is below canonical_count(); total_work() equals
// watermark() (a failed step is rolled back entirely); the reducer follows a store exactly when
// watermark() is not zero.
//
// Not synchronized: the owner serializes all calls. Not copyable or movable (the index refers into
// the node list), so hand it out as std::unique_ptr<IncrementalReducer>.
//
//   IncrementalReducer reducer;
//   reducer.step(store.identity(), store.snapshot_from(reducer.watermark()));
//   auto reduced = reducer.finalize(store.identity(), outputs, engine, /*maximal_fusion=*/false);
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string_view>
#include <variant>
#include <vector>

#include "absl/container/flat_hash_set.h"
#include "ir/node.hpp"
#include "optimizer/engine.hpp"
#include "optimizer/pipeline.hpp"
#include "store/graph_store.hpp"

namespace tarnvel {

// A store other than the one the reducer follows was handed to it.
struct OtherStore {
  static constexpr std::string_view kMessage =
      "this reducer follows another store: the first store it consumed nodes from (a copy of that "
      "store is another store)";
  friend bool operator==(const OtherStore&, const OtherStore&) = default;
};
using ReducerError = std::variant<BadNodeId, OtherStore>;

class IncrementalReducer {
 public:
  IncrementalReducer();
  IncrementalReducer(const IncrementalReducer&) = delete;
  IncrementalReducer& operator=(const IncrementalReducer&) = delete;

  // Consumes `delta`, the nodes with ids watermark(), watermark() + 1, ... of the store whose
  // identity is `store`, and returns their number; the first step that consumes a node binds the
  // reducer to that store. Fails with OtherStore when it follows another store, and with the first
  // input id that is not below the watermark at the time its node is processed; a failed step
  // consumes nothing (its earlier nodes are rolled back too).
  [[nodiscard]] std::expected<std::uint64_t, ReducerError> step(std::uint64_t store, std::span<const NodeKey> delta);

  // Reduces the canonical form against `outputs` (ids of the store whose identity is `store`, order
  // and duplicates kept). The node map is indexed by store id; input_nodes counts canonical nodes.
  // Fails with OtherStore when it follows another store, and with the first output id not below
  // the watermark. Leaves the reducer unchanged.
  [[nodiscard]] std::expected<Reduced, ReducerError> finalize(std::uint64_t store, std::span<const NodeId> outputs,
                                                const RewriteEngine& engine, bool maximal_fusion) const;

  // The identity of the store this reducer follows; absent until a step consumes a node.
  std::optional<std::uint64_t> store() const noexcept { return store_; }
  std::uint64_t watermark() const noexcept { return to_canonical_.size(); }
  std::uint64_t total_work() const noexcept { return total_work_; }
  std::uint64_t canonical_count() const noexcept { return canonical_.size(); }
  std::span<const NodeKey> canonical() const noexcept { return canonical_; }
  std::span<const NodeId> to_canonical() const noexcept { return to_canonical_; }

 private:
  // The index holds canonical ids and compares them through the keys they name, so each key is
  // stored once. Lookups by NodeKey and by KeyView are heterogeneous.
  struct IndexHash {
    using is_transparent = void;
    const std::vector<NodeKey>* nodes;
    std::size_t operator()(NodeId id) const { return structural_hash((*nodes)[id]); }
    std::size_t operator()(const NodeKey& key) const { return structural_hash(key); }
    std::size_t operator()(const KeyView& view) const { return structural_hash(view); }
  };
  struct IndexEq {
    using is_transparent = void;
    const std::vector<NodeKey>* nodes;
    bool operator()(NodeId a, NodeId b) const { return a == b; }
    bool operator()(const NodeKey& key, NodeId id) const { return (*nodes)[id] == key; }
    bool operator()(NodeId id, const NodeKey& key) const { return (*nodes)[id] == key; }
    bool operator()(const KeyView& view, NodeId id) const { return (*nodes)[id].matches(view); }
    bool operator()(NodeId id, const KeyView& view) const { return (*nodes)[id].matches(view); }
  };

  // The canonical id of one store node whose inputs, mapped to canonical ids, are `inputs`,
  // adding its key if it is new.
  [[nodiscard]] NodeId fold(const NodeKey& node, NodeInputs&& inputs);
  template <class Key>
  [[nodiscard]] NodeId find_or_add(const Key& candidate);
  bool follows_other(std::uint64_t store) const noexcept { return store_ && *store_ != store; }
  // Drops everything added since the sizes given.
  void roll_back(std::size_t canonical_size, std::size_t watermark) noexcept;

  std::vector<NodeKey> canonical_;
  // Lookups only: no result depends on the order of its entries.
  absl::flat_hash_set<NodeId, IndexHash, IndexEq> canonical_index_;
  bool index_erased_ = false;  // a roll back erased from canonical_index_ since it was built
  std::vector<NodeId> to_canonical_;
  std::uint64_t total_work_ = 0;
  std::optional<std::uint64_t> store_;  // set by the first step that consumes a node
};

}  // namespace tarnvel

// GraphStore: the thread-safe, hash-consed container of one IR graph.
//
// Interning a key equal to one already present yields the existing id; a new key is appended under
// the next id. A key may only name existing nodes, so the node list is always in topological order
// and ids are dense, start at 0 and never change. The store only grows.
//
// Locking: one GuardedMutex guards all state (ABSL_GUARDED_BY, checked by clang); every operation
// takes it exactly once and never calls out (into Python, another store or the optimizer) while
// holding it. Long readers take a view (below) and read without the lock. Mutations are strongly
// exception-safe: an allocation failure leaves the store as it was (an operator it interned on the
// way may stay in the table, unseen).
//
// Layout: each distinct operator is kept once, in the store's operator table; a node is its
// operator id and its inputs (Node, 16 bytes); the index holds 8 bytes per node.
//
//   GraphStore store;
//   NodeId x = *store.intern(NodeKey::source("x", {}));
//   NodeId y = *store.intern(NodeKey::op("neg", {}, {x}));
//   store.mark_output(y);
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "absl/base/thread_annotations.h"
#include "ir/node.hpp"
#include "store/node_index.hpp"
#include "store/nodes_view.hpp"
#include "store/operator_table.hpp"
#include "support/guarded_mutex.hpp"

namespace tarnvel {

// The first node id that names no node.
struct BadNodeId {
  NodeId id;
  friend bool operator==(const BadNodeId&, const BadNodeId&) = default;
};

// Where a node of the graph a store was reduced from landed in that store.
struct Landing {
  NodeId node;
  std::optional<std::uint64_t> member;  // the member index when `node` is a Stage
  friend bool operator==(const Landing&, const Landing&) = default;
};

// One entry of a node map: a Landing, or absent when no output reached the node. Packed into 8
// bytes (a store holds fewer than 2^32 nodes, and a Stage fewer members), since a reduced store
// keeps one entry per node of the graph it was reduced from. Reads like a std::optional<Landing>.
class NodeMapEntry {
 public:
  NodeMapEntry() noexcept = default;
  NodeMapEntry(std::nullopt_t) noexcept {}  // NOLINT: implicit, as std::optional's
  NodeMapEntry(const Landing& landing);  // NOLINT: implicit, as std::optional's

  bool has_value() const noexcept { return node_ != kAbsent; }
  explicit operator bool() const noexcept { return has_value(); }
  // REQUIRES: has_value().
  Landing operator*() const noexcept {
    return Landing{node_, member_ == 0 ? std::nullopt : std::optional<std::uint64_t>(member_ - 1)};
  }
  struct Arrow {
    Landing landing;
    const Landing* operator->() const noexcept { return &landing; }
  };
  Arrow operator->() const noexcept { return Arrow{**this}; }

  friend bool operator==(const NodeMapEntry&, const NodeMapEntry&) = default;

 private:
  static constexpr std::uint32_t kAbsent = ~std::uint32_t{0};
  std::uint32_t node_ = kAbsent;
  std::uint32_t member_ = 0;  // the member index + 1; 0 when the node is not a Stage's member
};

struct Snapshot {
  std::vector<NodeKey> nodes;
  std::vector<NodeId> outputs;
};

// One node, read in place in a view of its store, and whether it is among the output marks, read
// together.
struct MarkedNode {
  NodesView nodes;
  NodeId id;
  bool output;

  NodeRef node() const { return nodes[id]; }
};

class GraphStore {
 public:
  struct View {
    NodesView nodes;
    std::vector<NodeId> outputs;
  };

  GraphStore();
  GraphStore(const GraphStore&) = delete;
  GraphStore& operator=(const GraphStore&) = delete;

  // Adds the key unless an equal one exists. Fails with the first input id that names no node.
  [[nodiscard]] std::expected<NodeId, BadNodeId> intern(const NodeKey& key);
  // The same for a viewed key, copied only when its operator is new.
  [[nodiscard]] std::expected<NodeId, BadNodeId> intern(const KeyView& view);
  // Appends `id` to the output marks unless it is there already.
  [[nodiscard]] std::expected<void, BadNodeId> mark_output(NodeId id);

  // A number no other store of this process has, drawn when the store is created: a copy (through
  // a blob) is another store. Not an address, which a later store may reuse. Fixed: no lock needed.
  std::uint64_t identity() const noexcept { return identity_; }

  std::uint64_t node_count() const;
  std::vector<NodeId> outputs() const;
  std::vector<NodeMapEntry> node_map() const;
  // The nodes and the marks, taken together.
  Snapshot snapshot() const;
  // The node `id` names, without copying it; fails when it names none.
  std::expected<MarkedNode, BadNodeId> node(NodeId id) const;
  // The nodes from position `start` on; empty when `start` is at or past the end.
  std::vector<NodeKey> snapshot_from(std::uint64_t start) const;
  // A copy of the nodes, once every id of `outputs` is known to name one of them.
  [[nodiscard]] std::expected<std::vector<NodeKey>, BadNodeId> arena_holding(
      std::span<const NodeId> outputs) const;
  // Graphviz DOT text of the nodes and marks, rendered from a view.
  std::string to_dot() const;

  // Interns and marks through `Batch` under the lock, for whoever fills a new store (from a blob
  // or a reduction): the lock is taken once instead of once per node, and the release fence of
  // every intern, which would wait for that intern's stores to reach memory, is paid once. `fill`
  // must not call into Python or another store. Each intern is all-or-nothing as on its own; an
  // exception stops the batch and keeps the nodes added before it.
  // REQUIRES: nobody else sees the store yet, so the fill may be interrupted (and the store then
  // dropped).
  class Batch {
   public:
    [[nodiscard]] std::expected<NodeId, BadNodeId> intern(const NodeKey& key) {
      store_.lock_is_held();
      if (key.kind() == NodeKind::Stage) return store_.intern_stage_locked(key);
      return store_.intern_key_locked(key, operator_hash(key));
    }
    [[nodiscard]] std::expected<NodeId, BadNodeId> intern(const KeyView& view) {
      store_.lock_is_held();
      return store_.intern_key_locked(view, operator_hash(view));
    }
    // The id of the key's operator (its inputs ignored), added to the table when new.
    [[nodiscard]] OpId intern_operator(const NodeKey& key) {
      store_.lock_is_held();
      return store_.ops_.intern(key, operator_hash(key));
    }
    [[nodiscard]] OpId intern_operator(const KeyView& view) {
      store_.lock_is_held();
      return store_.ops_.intern(view, operator_hash(view));
    }
    // The same for an operator without inputs whose operator_hash is `hash`, moved in when new.
    [[nodiscard]] OpId intern_operator(NodeKey&& op, std::uint64_t hash) {
      store_.lock_is_held();
      return store_.ops_.intern(std::move(op), hash);
    }
    // The node of operator `op` (an id of this store's table) and these inputs, with `hash` equal
    // to node_hash(op, inputs), computed ahead.
    template <class Id>
    [[nodiscard]] std::expected<NodeId, BadNodeId> intern(OpId op, std::span<const Id> inputs,
                                                          std::uint64_t hash) {
      store_.lock_is_held();
      return store_.intern_locked(op, inputs, hash);
    }
    [[nodiscard]] std::expected<void, BadNodeId> mark_output(NodeId id) {
      store_.lock_is_held();
      return store_.mark_output_locked(id);
    }
    // The id the next new node gets.
    [[nodiscard]] NodeId next_id() const noexcept {
      store_.lock_is_held();
      return store_.nodes_.size();
    }
    // Starts loading the index entries a key of this structural hash is looked up among, so that
    // a filler that knows its next key early overlaps that cache miss with the work before it.
    void prefetch(std::uint64_t hash) const noexcept {
      store_.lock_is_held();
      store_.index_.prefetch(hash);
    }

   private:
    friend class GraphStore;
    explicit Batch(GraphStore& store) : store_(store) {}
    GraphStore& store_;  // its lock is held: a Batch exists only inside batch()
  };
  template <class Fill>
  decltype(auto) batch(Fill&& fill) {
    return mutex_.with_lock(
        [&]() -> decltype(auto) {
          Batch batch(*this);
          return fill(batch);
        },
        true, GuardedMutex::Reach::Unshared);
  }

  // The nodes and the marks, taken together, without copying a node: long readers (DCE, the blob
  // writer, DOT) work on the view with no lock held, so they may be interrupted.
  View view() const;
  // The nodes alone, the same way.
  NodesView nodes_view() const;
  // Makes room for `count` more nodes, so that a known number of interns never rehashes.
  void reserve(std::uint64_t count);

  // Installs the map from a reduced-from graph. REQUIRES: called once, before the store is shared.
  void install_node_map(std::vector<NodeMapEntry> node_map);

 private:
  // Interns the node of `op` and `inputs` (`hash` is their node_hash); fails with the first input
  // that names no node, and a bad `op` is an InternalFault.
  template <class Id>
  [[nodiscard]] std::expected<NodeId, BadNodeId> intern_locked(OpId op, std::span<const Id> inputs,
                                                               std::uint64_t hash)
      ABSL_EXCLUSIVE_LOCKS_REQUIRED(mutex_);
  // intern's one body. REQUIRES: `op` names an operator of ops_ and every input names a node.
  template <class Id>
  NodeId insert_locked(OpId op, std::span<const Id> inputs, std::uint64_t hash)
      ABSL_EXCLUSIVE_LOCKS_REQUIRED(mutex_);
  // Interns the key's operator (hashed ahead to `op_hash`) and then the node, unless an input
  // names no node: then nothing is added.
  template <class Key>
  [[nodiscard]] std::expected<NodeId, BadNodeId> intern_key_locked(const Key& key,
                                                                   std::uint64_t op_hash)
      ABSL_EXCLUSIVE_LOCKS_REQUIRED(mutex_);
  // A Stage key's members are named by ids of this store's table or by text; text that is an
  // operator's token names that operator, interned first (see StageOp). Inputs are checked first.
  [[nodiscard]] std::expected<NodeId, BadNodeId> intern_stage_locked(const NodeKey& key)
      ABSL_EXCLUSIVE_LOCKS_REQUIRED(mutex_);
  // Tells the analysis what holds by construction where it cannot see it: in a Batch, and in a
  // lambda that runs only within a call holding the lock. Checks nothing at run time.
  void lock_is_held() const noexcept ABSL_ASSERT_EXCLUSIVE_LOCK(mutex_) {}
  [[nodiscard]] std::expected<void, BadNodeId> mark_output_locked(NodeId id)
      ABSL_EXCLUSIVE_LOCKS_REQUIRED(mutex_);

  const std::uint64_t identity_;
  mutable GuardedMutex mutex_{"tarnvel-core store mutex poisoned"};
  OperatorTable ops_ ABSL_GUARDED_BY(mutex_);
  NodeList nodes_ ABSL_GUARDED_BY(mutex_);
  std::vector<NodeId> outputs_ ABSL_GUARDED_BY(mutex_);
  std::vector<bool> is_output_ ABSL_GUARDED_BY(mutex_);  // by id, at least up to the largest mark
  std::vector<NodeMapEntry> node_map_ ABSL_GUARDED_BY(mutex_);
  // Ids fit in 32 bits: a store holds fewer than 2^32 nodes, as a blob does.
  NodeIndex index_ ABSL_GUARDED_BY(mutex_);
};

}  // namespace tarnvel

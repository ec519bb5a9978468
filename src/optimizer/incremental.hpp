// IncrementalReducer: follows one GraphStore while it grows and keeps a canonical form of it up to
// date, so that the final reduction runs over the canonical form instead of the whole history.
//
// Each `step` consumes the store nodes recorded since the last one, exactly once each, and folds
// them in with the simplifications the rewrite engine's rules make (CanonicalFold), in one forward
// pass: identity elimination, commutativity deduplication, hash-consing.
// `finalize` runs the reduction pipeline over the canonical form and expresses its node map in
// store ids.
//
// The canonical form means something only for the store whose nodes it consumed: the first step
// that consumes a node binds the reducer to that store's identity (GraphStore::identity), and every
// later step or finalize with another store is refused with OtherStore, changing nothing.
//
// The canonical form keeps nodes as the store does (operator id and inputs) and names the operators
// of the store's table, which it reads through the latest view a step was given; that view keeps
// them alive, so the reducer may outlive the store.
//
// Invariants: `canonical` holds no two equal nodes and every input of a canonical node is a smaller
// canonical id; every entry of `to_canonical` is below canonical_count(); total_work() equals
// watermark() (a failed step is rolled back entirely); the reducer follows a store exactly when
// watermark() is not zero. The canonical form and `to_canonical` only grow, except that a failed
// step drops what it added itself, so a Frozen view of them stays valid however the reducer is
// stepped later.
//
// IncrementalReducer is not synchronized: the owner serializes all calls. SharedReducer below is
// the form several threads share. Neither is copyable or movable (the fold's index refers into its
// node list), so hand them out as std::unique_ptr.
//
//   IncrementalReducer reducer;
//   reducer.step(store.identity(), store.nodes_view(), SIZE_MAX);
//   auto reduced = reducer.finalize(store.identity(), outputs, engine, /*maximal_fusion=*/false);
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string_view>
#include <variant>
#include <vector>

#include "absl/base/thread_annotations.h"
#include "ir/node.hpp"
#include "optimizer/canonical_fold.hpp"
#include "optimizer/engine.hpp"
#include "optimizer/pipeline.hpp"
#include "store/graph_store.hpp"
#include "support/chunked.hpp"
#include "support/guarded_mutex.hpp"

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

  // Consumes the nodes of `nodes`, a view of the store whose identity is `store`, from the
  // watermark on and at most `limit` of them, and returns their number: consumes nothing once the
  // watermark reaches the end of the view. The first step that consumes a node binds the reducer to
  // that store. Fails with OtherStore when it follows another store, and with the first input id
  // that is not below the watermark at the time its node is processed; a failed step consumes
  // nothing (its earlier nodes are rolled back too).
  [[nodiscard]] std::expected<std::uint64_t, ReducerError> step(std::uint64_t store,
                                                                const NodesView& nodes,
                                                                std::size_t limit);

  // What a reduction of the canonical form reads, as views that stay valid while the reducer lives.
  struct Frozen {
    NodesView canonical;
    Chunked<NodeId>::View to_canonical;
    std::vector<NodeId> outputs;  // canonical ids
  };
  // Fails with OtherStore when the reducer follows another store, and with the first output id not
  // below the watermark. Leaves the reducer unchanged.
  [[nodiscard]] std::expected<Frozen, ReducerError> freeze(std::uint64_t store,
                                                           std::span<const NodeId> outputs) const;
  // Runs the pipeline over a frozen canonical form; reads the reducer it was taken from without
  // its owner's serialization, so it may run (and be interrupted) while others step that reducer.
  // The node map is indexed by store id; input_nodes counts canonical nodes.
  static Reduced reduce(const Frozen& frozen, const RewriteEngine& engine, bool maximal_fusion);

  // Reduces the canonical form against `outputs` (ids of the store whose identity is `store`, order
  // and duplicates kept): freeze, then reduce.
  [[nodiscard]] std::expected<Reduced, ReducerError> finalize(std::uint64_t store,
                                                              std::span<const NodeId> outputs,
                                                              const RewriteEngine& engine,
                                                              bool maximal_fusion) const;

  // The identity of the store this reducer follows; absent until a step consumes a node.
  std::optional<std::uint64_t> store() const noexcept { return store_; }
  std::uint64_t watermark() const noexcept { return to_canonical_.size(); }
  std::uint64_t total_work() const noexcept { return total_work_; }
  std::uint64_t canonical_count() const noexcept { return canonical_.size(); }
  // Copies, for inspection.
  std::vector<NodeKey> canonical() const;
  std::vector<NodeId> to_canonical() const { return to_canonical_.copy(0); }

 private:
  // step's one body: consumes nodes[begin], ..., nodes[end - 1], the next nodes of `store`.
  std::expected<std::uint64_t, ReducerError> consume(std::uint64_t store, const NodesView& nodes,
                                                     std::size_t begin, std::size_t end);
  bool follows_other(std::uint64_t store) const noexcept { return store_ && *store_ != store; }
  // Drops everything added since the sizes given.
  void roll_back(std::size_t canonical_size, std::size_t watermark) noexcept;
  NodesView canonical_view() const { return NodesView(canonical_.view(), ops_); }

  CanonicalFold canonical_;
  OperatorTable::View ops_;  // the followed store's operators, as the latest step saw them
  Chunked<NodeId> to_canonical_;
  std::uint64_t total_work_ = 0;
  std::optional<std::uint64_t> store_;  // set by the first step that consumes a node
};

// An IncrementalReducer that threads share, behind its own lock, whose long calls can be
// interrupted (interruption.hpp): a step folds the store's nodes in batches and releases the lock
// between them, where it heeds an interruption, and a finalize reduces a frozen canonical form with
// the lock released. The reducer's lock and a store's lock are never held together.
class SharedReducer {
 public:
  static constexpr std::size_t kBatchNodes = std::size_t{1} << 16;

  // REQUIRES: batch_nodes > 0.
  explicit SharedReducer(std::size_t batch_nodes = kBatchNodes) : batch_nodes_(batch_nodes) {}
  SharedReducer(const SharedReducer&) = delete;
  SharedReducer& operator=(const SharedReducer&) = delete;

  // Consumes the store's nodes from the watermark to the store's end when the call starts, and
  // returns how many this call consumed: concurrent steps each continue from the watermark, so
  // every node is consumed once. Fails, consuming nothing, with OtherStore when the reducer follows
  // another store. An interrupted step keeps the batches it completed: the reducer then holds a
  // prefix of the store, consistent and usable, and the next step goes on from there. A batch that
  // fails otherwise (an allocation failure) is rolled back; the batches before it stay.
  [[nodiscard]] std::expected<std::uint64_t, ReducerError> step(const GraphStore& store);

  // Steps, then reduces the canonical form against `outputs` (ids of the store read before the
  // call; order and duplicates kept) and builds the result store. Fails as step does, and with the
  // first output id not below the watermark. Interrupted while reducing, it leaves the reducer as
  // the step left it.
  [[nodiscard]] std::expected<ReducedStore, ReducerError> finalize(const GraphStore& store,
                                                                   std::span<const NodeId> outputs,
                                                                   const RewriteEngine& engine,
                                                                   bool maximal_fusion);

  struct Counters {
    std::uint64_t watermark, total_work, canonical_count;
  };
  // Read together.
  Counters counters() const;

 private:
  mutable GuardedMutex mutex_{"incremental reducer poisoned"};
  IncrementalReducer reducer_ ABSL_GUARDED_BY(mutex_);
  const std::size_t batch_nodes_;
};

}  // namespace tarnvel

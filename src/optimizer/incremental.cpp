#include "optimizer/incremental.hpp"

#include <algorithm>

#include "support/interruption.hpp"

namespace tarnvel {

IncrementalReducer::IncrementalReducer() = default;

std::expected<std::uint64_t, ReducerError> IncrementalReducer::step(std::uint64_t store,
                                                                    const NodesView& nodes,
                                                                    std::size_t limit) {
  const std::size_t begin = std::min<std::size_t>(watermark(), nodes.size());
  return consume(store, nodes, begin, begin + std::min(limit, nodes.size() - begin));
}

std::expected<std::uint64_t, ReducerError> IncrementalReducer::consume(std::uint64_t store,
                                                                       const NodesView& nodes,
                                                                       std::size_t begin,
                                                                       std::size_t end) {
  if (follows_other(store)) return std::unexpected(OtherStore{});
  // A step that fails part-way is rolled back entirely, so that nothing is consumed, total_work
  // keeps equal to the watermark and the caller can retry with a corrected delta.
  const std::size_t canonical_size = canonical_.size();
  const std::size_t start = to_canonical_.size();
  struct RollBackUnlessCommitted {
    IncrementalReducer& reducer;
    std::size_t canonical_size, watermark;
    bool committed = false;
    ~RollBackUnlessCommitted() {
      if (!committed) reducer.roll_back(canonical_size, watermark);
    }
  } guard{*this, canonical_size, start};

  const std::size_t count = end - begin;
  canonical_.reserve(count);
  to_canonical_.reserve(count);
  absl::InlinedVector<std::uint32_t, 4> inputs;
  for (std::size_t i = begin; i < end; ++i) {
    const Node& node = nodes.stored(i);
    inputs.clear();
    for (std::uint32_t input : node.children) {
      if (input >= to_canonical_.size()) return std::unexpected(BadNodeId{input});
      inputs.push_back(static_cast<std::uint32_t>(to_canonical_[input]));
    }
    to_canonical_.emplace_back(canonical_.add(node.op, inputs));
  }
  // The view covers every operator its nodes name, and a later view of the store as many or more.
  // Taken only once the step succeeds: a failed first step may have been handed another store's.
  if (count != 0 && nodes.ops().size() > ops_.size()) ops_ = nodes.ops();
  total_work_ += count;
  if (count != 0) store_ = store;
  guard.committed = true;
  return count;
}

void IncrementalReducer::roll_back(std::size_t canonical_size, std::size_t watermark) noexcept {
  // Only what this step added goes: every earlier node stays where a frozen view reads it.
  canonical_.truncate(canonical_size);
  to_canonical_.truncate(watermark);
}

std::vector<NodeKey> IncrementalReducer::canonical() const { return canonical_view().keys(); }

std::expected<IncrementalReducer::Frozen, ReducerError> IncrementalReducer::freeze(
    std::uint64_t store, std::span<const NodeId> outputs) const {
  if (follows_other(store)) return std::unexpected(OtherStore{});
  std::vector<NodeId> canonical_outputs;
  canonical_outputs.reserve(outputs.size());
  for (NodeId output : outputs) {
    if (output >= to_canonical_.size()) return std::unexpected(BadNodeId{output});
    canonical_outputs.push_back(to_canonical_[output]);
  }
  return Frozen{canonical_view(), to_canonical_.view(), std::move(canonical_outputs)};
}

Reduced IncrementalReducer::reduce(const Frozen& frozen, const RewriteEngine& engine,
                                   bool maximal_fusion) {
  Reduced reduced = reduce_with_mode(frozen.canonical, frozen.outputs, engine, maximal_fusion);
  std::vector<NodeMapEntry> by_store_id;
  by_store_id.reserve(frozen.to_canonical.size());
  for (std::size_t id = 0; id < frozen.to_canonical.size(); ++id) {
    note_work();
    by_store_id.push_back(reduced.node_map[frozen.to_canonical[id]]);
  }
  reduced.node_map = std::move(by_store_id);
  return reduced;
}

std::expected<Reduced, ReducerError> IncrementalReducer::finalize(std::uint64_t store,
                                                                  std::span<const NodeId> outputs,
                                                                  const RewriteEngine& engine,
                                                                  bool maximal_fusion) const {
  auto frozen = freeze(store, outputs);
  if (!frozen) return std::unexpected(frozen.error());
  return reduce(*frozen, engine, maximal_fusion);
}

std::expected<std::uint64_t, ReducerError> SharedReducer::step(const GraphStore& store) {
  // Viewed before the reducer is locked, so that the two locks are never nested.
  const NodesView nodes = store.nodes_view();
  std::uint64_t consumed = 0;
  for (;;) {
    const auto batch = mutex_.with_lock([&]() ABSL_EXCLUSIVE_LOCKS_REQUIRED(mutex_) {
      return reducer_.step(store.identity(), nodes, batch_nodes_);
    });
    // Only a first batch can fail with an error: once a batch consumed a node, the reducer follows
    // this store, and nodes read from a store never name a later node.
    if (!batch) return std::unexpected(batch.error());
    consumed += *batch;
    // A short batch reached the end of the view (another thread may have consumed the rest).
    if (*batch < batch_nodes_) return consumed;
    note_work(*batch);  // with the lock released: an interruption keeps the batches done
  }
}

std::expected<ReducedStore, ReducerError> SharedReducer::finalize(const GraphStore& store,
                                                                  std::span<const NodeId> outputs,
                                                                  const RewriteEngine& engine,
                                                                  bool maximal_fusion) {
  // The outputs name nodes the store held before this step's view: the watermark passes them.
  if (auto consumed = step(store); !consumed) return std::unexpected(consumed.error());
  auto frozen = mutex_.with_lock([&]() ABSL_EXCLUSIVE_LOCKS_REQUIRED(mutex_) {
    return reducer_.freeze(store.identity(), outputs);
  });
  if (!frozen) return std::unexpected(frozen.error());
  return from_reduced(IncrementalReducer::reduce(*frozen, engine, maximal_fusion));
}

SharedReducer::Counters SharedReducer::counters() const {
  return mutex_.with_lock([&]() ABSL_EXCLUSIVE_LOCKS_REQUIRED(mutex_) {
    return Counters{reducer_.watermark(), reducer_.total_work(), reducer_.canonical_count()};
  });
}

}  // namespace tarnvel

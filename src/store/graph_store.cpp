#include "store/graph_store.hpp"

#include <algorithm>
#include <atomic>
#include <new>
#include <utility>

#include "support/fault.hpp"

namespace tarnvel {

void GraphStore::reserve(std::uint64_t count) {
  mutex_.with_lock([&]() ABSL_EXCLUSIVE_LOCKS_REQUIRED(mutex_) {
    nodes_.reserve(count);
    index_.reserve(count);
  });
}

namespace {
// The one process-wide counter: identities must differ across every store of the process. It only
// counts up (2^64 stores are never made), so no two stores share a number.
std::atomic<std::uint64_t> next_store_identity{1};
}  // namespace

GraphStore::GraphStore() : identity_(next_store_identity.fetch_add(1, std::memory_order_relaxed)) {}

template <class Id>
NodeId GraphStore::insert_locked(OpId op, std::span<const Id> inputs, std::uint64_t hash) {
  // The lambdas run within this call, under the lock.
  const auto same_node = [&](std::uint32_t id) {
    lock_is_held();
    return nodes_[id].is(op, inputs);
  };
  // The node is built once the index has room for it: a failure of either leaves the store as it
  // was (a grown index holds the same nodes).
  return index_.find_or_add(hash, same_node, [&] {
    lock_is_held();
    const std::size_t next = nodes_.size();
    // A full store is refused as if memory had run out, and so is a node of more inputs than
    // Children counts (its constructor throws std::bad_alloc).
    if (next >= NodeIndex::kNoId) throw std::bad_alloc();
    nodes_.emplace_back(Node{op, Children(inputs)});
    return static_cast<std::uint32_t>(next);
  });
}

namespace {

std::span<const NodeId> inputs_of(const NodeKey& key) { return key.inputs(); }
std::span<const NodeId> inputs_of(const KeyView& view) { return view.inputs; }

// The first input that names no node of a store of `size` nodes.
template <class Id>
std::optional<BadNodeId> first_bad_input(std::span<const Id> inputs, std::size_t size) {
  for (Id input : inputs) {
    if (input >= size) return BadNodeId{input};
  }
  return std::nullopt;
}

}  // namespace

template <class Id>
std::expected<NodeId, BadNodeId> GraphStore::intern_locked(OpId op, std::span<const Id> inputs,
                                                           std::uint64_t hash) {
  if (const auto bad = first_bad_input(inputs, nodes_.size())) return std::unexpected(*bad);
  check_index(op, ops_.size(), "operator id");
  return insert_locked(op, inputs, hash);
}

// Inputs are checked before the operator is interned, so a refused key adds no operator. In a
// large store both the operator and the node's index bucket are cache misses: the operator's likely
// id lets the bucket load while the operator is compared, and once confirmed it spares a second
// lookup and a second node hash.
template <class Key>
std::expected<NodeId, BadNodeId> GraphStore::intern_key_locked(const Key& key,
                                                               std::uint64_t op_hash) {
  const std::span<const NodeId> inputs = inputs_of(key);
  const std::optional<OpId> likely = ops_.likely(op_hash);
  std::uint64_t hash = 0;
  if (likely) {
    hash = node_hash(*likely, inputs);
    index_.prefetch(hash);
  }
  if (const auto bad = first_bad_input(inputs, nodes_.size())) return std::unexpected(*bad);
  if (likely && ops_[*likely].same_operator(key)) return insert_locked(*likely, inputs, hash);
  const OpId op = ops_.intern(key, op_hash);
  return insert_locked(op, inputs, node_hash(op, inputs));
}

std::expected<NodeId, BadNodeId> GraphStore::intern_stage_locked(const NodeKey& key) {
  const std::span<const NodeId> inputs = key.inputs();
  if (const auto bad = first_bad_input(inputs, nodes_.size())) return std::unexpected(*bad);
  const std::span<const StageOp> members = key.members();
  std::vector<StageOp> resolved;  // a copy of the members, made when the first one resolves
  for (std::size_t i = 0; i < members.size(); ++i) {
    if (const OpId* id = members[i].id()) {
      check_index(*id, ops_.size(), "stage member operator");
      continue;
    }
    std::optional<NodeKey> op = member_operator(members[i].text()->view());
    if (!op) continue;
    if (resolved.empty()) resolved.assign(members.begin(), members.end());
    resolved[i].op = ops_.intern(*op, operator_hash(*op));
  }
  if (resolved.empty()) return intern_key_locked(key, operator_hash(key));
  const NodeKey stage =
      NodeKey::stage(NodeInputs(inputs.begin(), inputs.end()), std::move(resolved));
  return intern_key_locked(stage, operator_hash(stage));
}

std::expected<NodeId, BadNodeId> GraphStore::intern(const NodeKey& key) {
  if (key.kind() == NodeKind::Stage) {
    return mutex_.with_lock(
        [&]() ABSL_EXCLUSIVE_LOCKS_REQUIRED(mutex_) { return intern_stage_locked(key); });
  }
  const std::uint64_t op_hash = operator_hash(key);
  return mutex_.with_lock(
      [&]() ABSL_EXCLUSIVE_LOCKS_REQUIRED(mutex_) { return intern_key_locked(key, op_hash); });
}

std::expected<NodeId, BadNodeId> GraphStore::intern(const KeyView& view) {
  const std::uint64_t op_hash = operator_hash(view);
  return mutex_.with_lock(
      [&]() ABSL_EXCLUSIVE_LOCKS_REQUIRED(mutex_) { return intern_key_locked(view, op_hash); });
}

template std::expected<NodeId, BadNodeId> GraphStore::intern_key_locked(const NodeKey&,
                                                                        std::uint64_t);
template std::expected<NodeId, BadNodeId> GraphStore::intern_key_locked(const KeyView&,
                                                                        std::uint64_t);
template std::expected<NodeId, BadNodeId> GraphStore::intern_locked(OpId, std::span<const NodeId>,
                                                                    std::uint64_t);
template std::expected<NodeId, BadNodeId> GraphStore::intern_locked(OpId,
                                                                    std::span<const std::uint32_t>,
                                                                    std::uint64_t);

std::expected<void, BadNodeId> GraphStore::mark_output_locked(NodeId id) {
  if (id >= nodes_.size()) return std::unexpected(BadNodeId{id});
  if (id < is_output_.size() && is_output_[id]) return {};
  if (id >= is_output_.size()) is_output_.resize(nodes_.size(), false);  // grows geometrically
  outputs_.push_back(id);  // the only change an allocation failure could stop comes first
  is_output_[id] = true;
  return {};
}

std::expected<void, BadNodeId> GraphStore::mark_output(NodeId id) {
  return mutex_.with_lock(
      [&]() ABSL_EXCLUSIVE_LOCKS_REQUIRED(mutex_) { return mark_output_locked(id); });
}

std::uint64_t GraphStore::node_count() const {
  return mutex_.with_lock([&]() ABSL_EXCLUSIVE_LOCKS_REQUIRED(mutex_) {
    return static_cast<std::uint64_t>(nodes_.size());
  });
}

std::vector<NodeId> GraphStore::outputs() const {
  return mutex_.with_lock([&]() ABSL_EXCLUSIVE_LOCKS_REQUIRED(mutex_) { return outputs_; });
}

std::vector<NodeMapEntry> GraphStore::node_map() const {
  return mutex_.with_lock([&]() ABSL_EXCLUSIVE_LOCKS_REQUIRED(mutex_) { return node_map_; });
}

Snapshot GraphStore::snapshot() const {
  View view = this->view();
  return Snapshot{view.nodes.keys(), std::move(view.outputs)};
}

std::expected<MarkedNode, BadNodeId> GraphStore::node(NodeId id) const {
  return mutex_.with_lock(
      [&]() ABSL_EXCLUSIVE_LOCKS_REQUIRED(mutex_) -> std::expected<MarkedNode, BadNodeId> {
        if (id >= nodes_.size()) return std::unexpected(BadNodeId{id});
        return MarkedNode{NodesView(nodes_.view(), ops_.view()), id,
                          id < is_output_.size() && is_output_[id]};
      });
}

GraphStore::View GraphStore::view() const {
  return mutex_.with_lock([&]() ABSL_EXCLUSIVE_LOCKS_REQUIRED(mutex_) {
    return View{NodesView(nodes_.view(), ops_.view()), outputs_};
  });
}

NodesView GraphStore::nodes_view() const {
  return mutex_.with_lock([&]() ABSL_EXCLUSIVE_LOCKS_REQUIRED(mutex_) {
    return NodesView(nodes_.view(), ops_.view());
  });
}

std::vector<NodeKey> GraphStore::snapshot_from(std::uint64_t start) const {
  return nodes_view().keys(start);
}

std::expected<std::vector<NodeKey>, BadNodeId> GraphStore::arena_holding(
    std::span<const NodeId> outputs) const {
  std::vector<NodeKey> nodes = nodes_view().keys();
  for (NodeId id : outputs) {
    if (id >= nodes.size()) return std::unexpected(BadNodeId{id});
  }
  return nodes;
}

NodeMapEntry::NodeMapEntry(const Landing& landing)
    : node_(static_cast<std::uint32_t>(landing.node)),
      member_(landing.member ? static_cast<std::uint32_t>(*landing.member + 1) : 0) {
  check_invariant(landing.node < kAbsent && (!landing.member || *landing.member + 1 < kAbsent),
                  "a landing fits its 32-bit fields");
}

void GraphStore::install_node_map(std::vector<NodeMapEntry> node_map) {
  mutex_.with_lock([&]()
                       ABSL_EXCLUSIVE_LOCKS_REQUIRED(mutex_) { node_map_ = std::move(node_map); });
}

}  // namespace tarnvel

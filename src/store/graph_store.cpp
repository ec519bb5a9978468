#include "store/graph_store.hpp"

#include <algorithm>
#include <atomic>
#include <new>
#include <utility>

namespace tarnvel {

void GraphStore::reserve(std::uint64_t count) {
  mutex_.with_lock([&] {
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

template <class Key>
std::expected<NodeId, BadNodeId> GraphStore::intern_locked(Key&& key, std::uint64_t hash) {
  const std::uint32_t folded = fold(hash);
  const NodeId next = nodes_.size();
  for (NodeId input : inputs_of(key)) {
    if (input >= next) return std::unexpected(BadNodeId{input});
  }
  const auto same_key = [&](std::uint32_t id) { return same(nodes_[id], key); };
  if (const auto found = index_.find(folded, same_key)) return NodeId{*found};
  // A full store refuses the node as if memory had run out: nothing is changed.
  if (next >= NodeIndex::kNoId) throw std::bad_alloc();
  // Index room first, then the key is built in place: a failure in either leaves the store as it
  // was, and with room reserved the insert below cannot fail.
  index_.reserve_one(folded);
  nodes_.emplace_back(std::forward<Key>(key));
  index_.insert(folded, static_cast<std::uint32_t>(next));
  return next;
}

std::expected<NodeId, BadNodeId> GraphStore::intern(NodeKey key) {
  const std::uint64_t hash = structural_hash(key);
  return mutex_.with_lock([&] { return intern_locked(std::move(key), hash); });
}

std::expected<NodeId, BadNodeId> GraphStore::intern(const KeyView& view) {
  const std::uint64_t hash = structural_hash(view);
  return mutex_.with_lock([&] { return intern_locked(view, hash); });
}

std::expected<NodeId, BadNodeId> GraphStore::Batch::intern(NodeKey key) {
  const std::uint64_t hash = structural_hash(key);
  return intern(std::move(key), hash);
}

std::expected<NodeId, BadNodeId> GraphStore::Batch::intern(const KeyView& view) {
  return intern(view, structural_hash(view));
}

std::expected<void, BadNodeId> GraphStore::mark_output_locked(NodeId id) {
  if (id >= nodes_.size()) return std::unexpected(BadNodeId{id});
  if (id < is_output_.size() && is_output_[id]) return {};
  if (id >= is_output_.size()) is_output_.resize(nodes_.size(), false);  // grows geometrically
  outputs_.push_back(id);  // the only change an allocation failure could stop comes first
  is_output_[id] = true;
  return {};
}

std::expected<void, BadNodeId> GraphStore::mark_output(NodeId id) {
  return mutex_.with_lock([&] { return mark_output_locked(id); });
}

std::uint64_t GraphStore::node_count() const {
  return mutex_.with_lock([&] { return static_cast<std::uint64_t>(nodes_.size()); });
}

std::vector<NodeId> GraphStore::outputs() const {
  return mutex_.with_lock([&] { return outputs_; });
}

std::vector<NodeMapEntry> GraphStore::node_map() const {
  return mutex_.with_lock([&] { return node_map_; });
}

Snapshot GraphStore::snapshot() const {
  return mutex_.with_lock([&] { return Snapshot{nodes_.copy(0), outputs_}; });
}

std::expected<MarkedNode, BadNodeId> GraphStore::node(NodeId id) const {
  return mutex_.with_lock([&]() -> std::expected<MarkedNode, BadNodeId> {
    if (id >= nodes_.size()) return std::unexpected(BadNodeId{id});
    return MarkedNode{nodes_[id], id < is_output_.size() && is_output_[id]};
  });
}

GraphStore::View GraphStore::view() const {
  return mutex_.with_lock([&] { return View{nodes_.view(), outputs_}; });
}

NodesView GraphStore::nodes_view() const {
  return mutex_.with_lock([&] { return nodes_.view(); });
}

std::vector<NodeKey> GraphStore::snapshot_from(std::uint64_t start) const {
  return mutex_.with_lock([&] { return nodes_.copy(start); });
}

std::expected<std::vector<NodeKey>, BadNodeId> GraphStore::arena_holding(
    std::span<const NodeId> outputs) const {
  std::vector<NodeKey> nodes = mutex_.with_lock([&] { return nodes_.copy(0); });
  for (NodeId id : outputs) {
    if (id >= nodes.size()) return std::unexpected(BadNodeId{id});
  }
  return nodes;
}

void GraphStore::install_node_map(std::vector<NodeMapEntry> node_map) {
  mutex_.with_lock([&] { node_map_ = std::move(node_map); });
}

}  // namespace tarnvel

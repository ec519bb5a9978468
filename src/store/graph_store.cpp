#include "store/graph_store.hpp"

#include <algorithm>

#include "absl/hash/hash.h"
#include "support/id_index.hpp"

namespace tarnvel {

void GraphStore::NodeList::reserve_one() {
  if (size_ % kChunkSize != 0) return;
  if (chunks_.size() == chunks_.capacity()) chunks_.reserve(std::max<std::size_t>(4, chunks_.size() * 2));
  std::vector<NodeKey> chunk;
  chunk.reserve(kChunkSize);
  chunks_.push_back(std::move(chunk));  // cannot throw: capacity reserved above
}

void GraphStore::NodeList::reserve(std::size_t extra) {
  chunks_.reserve((size_ + extra + kChunkSize - 1) / kChunkSize);
}

void GraphStore::reserve(std::uint64_t count) {
  mutex_.with_lock([&] {
    nodes_.reserve(count);
    hashes_.reserve(hashes_.size() + count);
    reserve_ids(index_, index_.size() + count);
  });
}

void GraphStore::NodeList::push_back(NodeKey&& key) noexcept {
  chunks_[size_ / kChunkSize].push_back(std::move(key));  // capacity reserved by reserve_one
  ++size_;
}

std::vector<NodeKey> GraphStore::NodeList::copy(std::size_t start) const {
  std::vector<NodeKey> out;
  if (start >= size_) return out;
  out.reserve(size_ - start);
  for (std::size_t id = start; id < size_; ++id) out.push_back((*this)[id]);
  return out;
}

std::uint32_t GraphStore::hash32(const NodeKey& key) {
  const std::size_t hash = absl::HashOf(key);
  return static_cast<std::uint32_t>(hash ^ (hash >> 32));
}

GraphStore::GraphStore() : index_(0, IndexHash{&hashes_}, IndexEq{&nodes_}) {}

std::expected<NodeId, BadNodeId> GraphStore::intern(NodeKey key) {
  return mutex_.with_lock([&]() -> std::expected<NodeId, BadNodeId> {
    const NodeId next = nodes_.size();
    for (NodeId input : key.inputs()) {
      if (input >= next) return std::unexpected(BadNodeId{input});
    }
    nodes_.reserve_one();
    reserve_ids(index_, next + 1);
    if (hashes_.size() == hashes_.capacity()) hashes_.reserve(std::max<std::size_t>(64, 2 * hashes_.size()));
    const Probe probe{key, hash32(key)};
    // One probe: the constructor runs only when the key is new, and with room reserved above the
    // table does not grow, appending cannot fail and neither can constructing the slot.
    auto it = index_.lazy_emplace(probe, [&](const auto& construct) {
      hashes_.push_back(probe.hash);
      nodes_.push_back(std::move(key));
      construct(next);
    });
    return *it;
  });
}

std::expected<void, BadNodeId> GraphStore::mark_output(NodeId id) {
  return mutex_.with_lock([&]() -> std::expected<void, BadNodeId> {
    if (id >= nodes_.size()) return std::unexpected(BadNodeId{id});
    if (std::find(outputs_.begin(), outputs_.end(), id) == outputs_.end()) outputs_.push_back(id);
    return {};
  });
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

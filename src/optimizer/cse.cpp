#include "optimizer/cse.hpp"

#include <algorithm>
#include <span>
#include <utility>

#include "absl/container/flat_hash_set.h"
#include "support/fault.hpp"
#include "support/interruption.hpp"
#include "support/seeded_hash.hpp"
#include "support/table_growth.hpp"

namespace tarnvel {
namespace {

// The lookup key of a node: its op and its remapped children, in order.
struct Probe {
  OpId op;
  std::span<const std::uint32_t> children;
};

std::size_t hash_probe(const Probe& probe) { return node_hash(probe.op, probe.children); }

// The table holds indices of the deduplicated graph and hashes and compares them through the nodes
// they name, so no op string is copied a second time.
struct IndexHash {
  using is_transparent = void;
  const std::vector<Node>* nodes;
  std::size_t operator()(std::size_t index) const {
    const Node& node = (*nodes)[index];
    return hash_probe({node.op, node.children.ids()});
  }
  std::size_t operator()(const Probe& probe) const { return hash_probe(probe); }
};
struct IndexEq {
  using is_transparent = void;
  const std::vector<Node>* nodes;
  static bool same(const Node& node, const Probe& probe) {
    return node.is(probe.op, probe.children);
  }
  bool operator()(std::size_t a, std::size_t b) const { return a == b; }
  bool operator()(std::size_t index, const Probe& probe) const {
    return same((*nodes)[index], probe);
  }
  bool operator()(const Probe& probe, std::size_t index) const {
    return same((*nodes)[index], probe);
  }
};

}  // namespace

CseResult cse(const EngineGraph& graph) { return cse(EngineGraph(graph)); }

// Survivors are moved down in place: node i goes to position j <= i, and the table only ever reads
// positions below j, which are final.
CseResult cse(EngineGraph&& graph) {
  CseResult result;
  std::vector<Node>& nodes = graph.nodes;
  const std::size_t size = nodes.size();
  result.index_map.reserve(size);
  // Sized for every node, so that no insertion grows it (a failed growth would corrupt it).
  absl::flat_hash_set<std::size_t, IndexHash, IndexEq> index(room_for(size), IndexHash{&nodes},
                                                             IndexEq{&nodes});
  std::size_t kept = 0;
  for (std::size_t i = 0; i < size; ++i) {
    note_work();
    Node& node = nodes[i];
    for (std::uint32_t& child : node.children) {
      check_index(child, i, "child of an engine node");
      child = static_cast<std::uint32_t>(result.index_map[child]);
    }
    // One probe: the node is kept only when its key is new. The new index is recorded without
    // reading the slot back, which would wait on a cache miss.
    const std::size_t next = kept;
    auto it = index.lazy_emplace(Probe{node.op, node.children.ids()}, [&](const auto& construct) {
      if (next != i) nodes[next] = std::move(node);
      ++kept;
      construct(next);
    });
    result.index_map.push_back(kept > next ? next : *it);
  }
  nodes.erase(nodes.begin() + static_cast<std::ptrdiff_t>(kept), nodes.end());
  result.graph.nodes = std::move(nodes);
  result.graph.outputs.reserve(graph.outputs.size());
  for (std::size_t output : graph.outputs) {
    check_index(output, size, "engine output");
    result.graph.outputs.push_back(result.index_map[output]);
  }
  return result;
}

}  // namespace tarnvel

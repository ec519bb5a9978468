// CanonicalFold: a graph folded node by node with the simplifications the fixed rules make, in one
// forward pass and without an e-graph: a node of an identity operator is its operand, a node of a
// commutative operator is found in either operand order, and equal nodes are one node. Each class
// keeps its first node, in that node's own operand order.
//
// Fed a graph in topological order, the classes are those equality saturation under the fixed
// rules reaches (see SaturationEngine): an identity node is equal to its operand, two nodes are
// equal when their operator is and their operands are, in either order for a commutative operator,
// and nothing else is equal.
//
// Invariants: no two nodes are equal, and every input of a node is a smaller id. Nodes are only
// appended, or dropped from the end by `truncate`; a view of the nodes stays valid throughout.
// Not synchronized. Not copyable or movable: the index refers into the node list.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "ir/node.hpp"
#include "store/node_index.hpp"
#include "store/nodes_view.hpp"

namespace tarnvel {

class CanonicalFold {
 public:
  CanonicalFold() = default;
  CanonicalFold(const CanonicalFold&) = delete;
  CanonicalFold& operator=(const CanonicalFold&) = delete;

  // The id of a node of operator `op` over the folded nodes `inputs`: an input when a rule
  // simplifies the node away, otherwise the equal node, added when new. A failure (bad_alloc)
  // adds nothing.
  [[nodiscard]] NodeId add(OpId op, std::span<const std::uint32_t> inputs);

  std::size_t size() const noexcept { return nodes_.size(); }
  const Node& operator[](std::size_t id) const { return nodes_[id]; }
  NodeList::View view() const { return nodes_.view(); }
  void reserve(std::size_t count) { nodes_.reserve(count); }
  // Drops the nodes from `size` on; a view taken before still reads them.
  void truncate(std::size_t size) noexcept;

 private:
  // A node's operator and inputs, with its hash, as the index is probed for it.
  struct Probe {
    OpId op;
    std::span<const std::uint32_t> inputs;
    std::uint64_t hash;
  };
  // Whether a node is the candidate, by id.
  auto same_as(const Probe& candidate) const {
    return [this, &candidate](std::uint32_t id) {
      return nodes_[id].is(candidate.op, candidate.inputs);
    };
  }
  std::optional<NodeId> find(const Probe& candidate) const;
  [[nodiscard]] NodeId find_or_add(const Probe& candidate);
  // Indexes the nodes anew, after a truncate dropped nodes the index names.
  void rebuild_index();

  NodeList nodes_;
  // The ids by hash, compared through the nodes they name; it grows without reading a node.
  // Lookups only: no result depends on where an entry sits.
  NodeIndex index_;
  bool index_stale_ = false;  // a truncate dropped nodes that index_ still names
};

}  // namespace tarnvel

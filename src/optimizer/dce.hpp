// Dead code elimination: keeps exactly the nodes that some output needs, renumbers them densely in
// ascending old-id order and rewrites every input to the new numbering. The first step of the
// reduction pipeline and, on its own, the whole of the store's cone.
#pragma once

#include <span>
#include <vector>

#include "ir/node.hpp"
#include "store/graph_store.hpp"

namespace tarnvel {

// A survival map entry for a node that did not survive.
inline constexpr NodeId kDropped = ~NodeId{0};

struct DceResult {
  std::vector<NodeKey> nodes;    // survivors in ascending old-id order; inputs name earlier ones
  std::vector<NodeId> outputs;   // one per requested output, same order, duplicates kept
  std::vector<NodeId> survival;  // old id -> new id, or kDropped
};

// The survival map alone (same REQUIRES as below), for callers that take the survivors as they are.
std::vector<NodeId> survival_map(std::span<const NodeKey> nodes, std::span<const NodeId> outputs);
std::vector<NodeId> survival_map(const NodesView& nodes, std::span<const NodeId> outputs);
// The number of entries of a survival map that are not kDropped.
std::size_t survivor_count(std::span<const NodeId> survival);

// REQUIRES: every input of node i is below i and every output is below nodes.size() (checked:
// a violation is an InternalFault). One sweep without recursion, so depth is unbounded.
DceResult dead_code_elimination(std::span<const NodeKey> nodes, std::span<const NodeId> outputs);

}  // namespace tarnvel

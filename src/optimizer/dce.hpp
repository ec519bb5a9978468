// Dead code elimination: finds exactly the nodes that some output needs and numbers them densely in
// ascending old-id order. The first step of the reduction pipeline and of the store's cone, which
// rewrite inputs through this numbering.
#pragma once

#include <span>
#include <vector>

#include "ir/node.hpp"
#include "store/graph_store.hpp"

namespace tarnvel {

// A survival map entry for a node that did not survive.
inline constexpr NodeId kDropped = ~NodeId{0};

// Old id -> new id for the nodes that some output needs, kDropped for the others.
// REQUIRES: every input of node i is below i and every output is below nodes.size() (checked:
// a violation is an InternalFault). One sweep without recursion, so depth is unbounded.
std::vector<NodeId> survival_map(const NodesView& nodes, std::span<const NodeId> outputs);
// The number of entries of a survival map that are not kDropped.
std::size_t survivor_count(std::span<const NodeId> survival);

}  // namespace tarnvel

// The rewrite engine behind the optimizer: a flat, index-based graph goes in, a canonical graph in
// which proven-equal nodes are merged comes out. The optimizer depends only on RewriteEngine.
#pragma once

#include <cstddef>
#include <vector>

#include "egraph/symbol_node.hpp"
#include "ir/node.hpp"

namespace tarnvel {

// One node of the flattened graph. Invariant: every child index is smaller than the node's own.
// Equal ops mean equal operators: the engine treats equal ops with equal children as one node. Ops
// below kFixedOperatorCount are the fixed operators (ir/fixed_operators.hpp), as in every table.
struct EngineNode {
  OpId op = 0;               // the node's operator id in its table
  egraph::Children children;  // operand order; two inline, as an e-node's (12 bytes)
  bool opaque = false;       // true for every node that is not an Op node

  friend bool operator==(const EngineNode&, const EngineNode&) = default;
};

// Nodes in topological order (every node after its children); outputs may repeat.
struct EngineGraph {
  std::vector<EngineNode> nodes;
  std::vector<std::size_t> outputs;

  friend bool operator==(const EngineGraph&, const EngineGraph&) = default;
};

// The result of canonicalize: the canonical graph, and for every input node the index of the
// canonical node that represents it.
struct CanonicalGraph {
  EngineGraph graph;
  std::vector<std::size_t> node_map;
  // Set by an engine that guarantees no two nodes of `graph` have the same op and the same
  // children; common-subexpression elimination would then change nothing and is skipped.
  bool duplicate_free = false;
};

class RewriteEngine {
 public:
  virtual ~RewriteEngine() = default;
  virtual CanonicalGraph canonicalize(const EngineGraph& graph) const = 0;
};

}  // namespace tarnvel

// The rewrite engine behind the optimizer: a flat, index-based graph goes in, a canonical graph in
// which proven-equal nodes are merged comes out. The optimizer depends only on RewriteEngine.
#pragma once

#include <cstddef>
#include <vector>

#include "ir/node.hpp"

namespace tarnvel {

// Nodes in topological order: each node's children are positions below its own; outputs may
// repeat. A node's op is its operator's id in a table: equal ops mean equal operators, so the
// engine treats equal ops with equal children as one node, and ops below kFixedOperatorCount are
// the fixed operators (ir/fixed_operators.hpp), as in every table. The engine needs nothing else
// of an operator; fusion asks the table which operators are Ops.
struct EngineGraph {
  std::vector<Node> nodes;
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

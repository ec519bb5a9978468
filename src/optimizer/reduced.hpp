// The result of a reduction: the reduced nodes, naming the operators of the graph reduced or the
// Stage operators fusion made, the outputs, the node map and the six counters of the report.
#pragma once

#include <cstdint>
#include <vector>

#include "ir/node.hpp"
#include "store/graph_store.hpp"
#include "support/chunked.hpp"

namespace tarnvel {

struct ReductionReport {
  std::uint64_t input_nodes = 0;      // nodes handed to the pipeline, reachable or not
  std::uint64_t reachable_nodes = 0;  // nodes that survive dead code elimination
  std::uint64_t canonical_nodes = 0;  // nodes after canonicalize and cse
  std::uint64_t stages = 0;           // Stage nodes emitted by fusion
  std::uint64_t reduced_nodes = 0;    // entries of Reduced::nodes: stages + boundary_nodes
  std::uint64_t boundary_nodes = 0;   // non-Stage nodes emitted

  friend bool operator==(const ReductionReport&, const ReductionReport&) = default;
};

// The result of one reduction. Its nodes name operators in one id space: an id below ops.size() is
// an operator of the graph reduced, and id ops.size() + i is stage_ops[i], a Stage operator fusion
// made. Invariants: every child of nodes[i] is below i; every output and every present node_map
// entry names a position of `nodes`.
struct Reduced {
  OperatorTable::View ops;          // the operators of the graph reduced
  // The Stage operators fusion made, as keys without inputs; their members, like those of any
  // Stage operator in `ops`, name operators by ids of `ops`.
  Chunked<NodeKey> stage_ops;
  std::vector<Node> nodes;
  std::vector<NodeId> outputs;           // one per requested output, in order, duplicates kept
  std::vector<NodeMapEntry> node_map;    // per input node; absent when no output reaches it
  ReductionReport report;
  // The operator of a node.
  const NodeKey& op_of(const Node& node) const {
    return node.op < ops.size() ? ops[node.op] : stage_ops[node.op - ops.size()];
  }
  // Owned copies of the nodes, which stand alone (see StageOp), for inspection.
  std::vector<NodeKey> keys() const;
};

}  // namespace tarnvel

// The result of a reduction: the reduced nodes, naming the operators of the graph reduced or the
// Stage operators fusion made, the outputs, the node map and the six counters of the report.
#pragma once

#include <cstdint>
#include <vector>

#include "absl/container/inlined_vector.h"
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

// A node of a reduced graph: an operator of the graph it was reduced from, or a Stage operator
// fusion made, and inputs that name earlier positions of the reduced graph.
struct ReducedNode {
  OpId op = 0;         // an id of Reduced::ops, or when `stage`, an index of Reduced::stage_ops
  bool stage = false;
  absl::InlinedVector<std::uint32_t, 2> inputs;

  friend bool operator==(const ReducedNode&, const ReducedNode&) = default;
};

// The result of one reduction. Invariants: every input of nodes[i] is below i; every output and
// every present node_map entry names a position of `nodes`.
struct Reduced {
  OperatorTable::View ops;          // the operators of the graph reduced
  Chunked<NodeKey> stage_ops;   // the Stage operators fusion made, as keys without inputs
  std::vector<std::uint64_t> stage_op_hashes;  // operator_hash of each of stage_ops
  std::vector<ReducedNode> nodes;
  std::vector<NodeId> outputs;           // one per requested output, in order, duplicates kept
  std::vector<NodeMapEntry> node_map;    // per input node; absent when no output reaches it
  ReductionReport report;
  // The operator of a node.
  const NodeKey& op_of(const ReducedNode& node) const {
    return node.stage ? stage_ops[node.op] : ops[node.op];
  }
  // Owned copies of the nodes, for inspection.
  std::vector<NodeKey> keys() const;
};

}  // namespace tarnvel

// Stage fusion: partitions a deduplicated canonical graph into groups, turns every group of Op
// nodes into one Stage whose members are those ops, rebuilds every opaque node (one whose operator
// the table says is not an Op) as a boundary node, and emits groups in ascending order of their
// largest member, which puts every group after all the groups it reads.
//
// Single-use rule: an op joins its consumer's stage when it has exactly one use, is not an output,
// and the consumer is an op. Maximal rule: an op that is not an output joins its consumers' stage
// when all of them are ops in one stage.
//
// Guarantees: the result holds no Op node; an output node is always the last member of its stage;
// members are in ascending canonical order, so a Member ref names an earlier member; a stage's
// inputs are distinct and in order of first use.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "ir/node.hpp"
#include "optimizer/engine.hpp"
#include "optimizer/reduced.hpp"
#include "store/graph_store.hpp"
#include "support/chunked.hpp"

namespace tarnvel {

struct FusionResult {
  // The Stage operators made, as keys without inputs; members name operators by ids of the table
  // the graph's ops are ids of.
  Chunked<NodeKey> stage_ops;
  std::vector<Node>
      nodes;  // reduced graph, ops numbered as Reduced's; children name earlier positions
  std::vector<NodeId> outputs;      // one per graph output, duplicates kept
  std::vector<NodeMapEntry> placement;  // per canonical node: (reduced position, member index)
  std::uint64_t stages = 0;
  std::uint64_t boundary_nodes = 0;
};

// REQUIRES: `graph` is in topological order and its ops are ids of `ops`.
FusionResult stage_fusion(const EngineGraph& graph, bool maximal_fusion,
                          const OperatorTable::View& ops);

}  // namespace tarnvel

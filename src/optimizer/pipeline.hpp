// The reduction pipeline: dead code elimination, canonicalization by a RewriteEngine, common-
// subexpression elimination and stage fusion, turning one snapshot of a graph into a reduced graph
// with a map from every input node to where it landed. The pipeline is a pure function of its
// arguments; the store-level entry points take a snapshot first and build a fresh store after, so
// the source store's lock is held only while it is copied.
//
// The store layer does not depend on the optimizer, so the store-level operations are free
// functions over a GraphStore rather than its members.
#pragma once

#include <cstdint>
#include <expected>
#include <memory>
#include <span>
#include <utility>
#include <vector>

#include "absl/container/inlined_vector.h"
#include "ir/node.hpp"
#include "optimizer/engine.hpp"
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
  std::uint64_t input_nodes = 0;
  std::uint64_t reachable_nodes = 0;
  std::uint64_t canonical_nodes = 0;
  std::uint64_t stages = 0;
  std::uint64_t reduced_nodes = 0;
  std::uint64_t boundary_nodes = 0;

  ReductionReport report() const {
    return {input_nodes, reachable_nodes, canonical_nodes, stages, reduced_nodes, boundary_nodes};
  }
  // The operator of a node.
  const NodeKey& op_of(const ReducedNode& node) const {
    return node.stage ? stage_ops[node.op] : ops[node.op];
  }
  // Owned copies of the nodes, for inspection.
  std::vector<NodeKey> keys() const;
};

// A fresh store built from a reduction, and the reduction's counters.
using ReducedStore = std::pair<std::unique_ptr<GraphStore>, ReductionReport>;

// One EngineNode per node, in order: op = its operator id, children = inputs, opaque unless an Op.
EngineGraph to_engine_graph(const NodesView& nodes, std::span<const NodeId> outputs);

// Reduces the viewed nodes, read without copying them; the result names their operators.
// REQUIRES: every input names an earlier node and every output names a node (a violation is an
// InternalFault). maximal_fusion selects the maximal fusion rule over the single-use rule.
Reduced reduce_with_mode(const NodesView& nodes, std::span<const NodeId> outputs,
                         const RewriteEngine& engine, bool maximal_fusion);

// Interns the reduced nodes into a fresh store (equal nodes share one id), marks the distinct
// outputs in first-occurrence order and installs the node map through the assigned ids.
// A malformed record is an InternalFault.
ReducedStore from_reduced(Reduced reduced);

// Reduces against the store's output marks.
ReducedStore reduce_with(const GraphStore& store, const RewriteEngine& engine, bool maximal_fusion);

// Reduces against exactly `outputs` (order and duplicates kept); fails with the first id that
// names no node before anything is reduced.
[[nodiscard]] std::expected<ReducedStore, BadNodeId> reduce_with_outputs(
    const GraphStore& store, std::span<const NodeId> outputs, const RewriteEngine& engine,
    bool maximal_fusion);

// The counters reduce_with and reduce_with_outputs report, without building the result store.
ReductionReport report_with(const GraphStore& store, const RewriteEngine& engine,
                            bool maximal_fusion);
[[nodiscard]] std::expected<ReductionReport, BadNodeId> report_with_outputs(
    const GraphStore& store, std::span<const NodeId> outputs, const RewriteEngine& engine,
    bool maximal_fusion);

// The cone of `outputs` without any rewrite: dead code elimination only. The node map sends each
// surviving node to (its new id, no member); the store's marks follow `outputs`.
[[nodiscard]] std::expected<std::unique_ptr<GraphStore>, BadNodeId> cone(
    const GraphStore& store, std::span<const NodeId> outputs);

}  // namespace tarnvel

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
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "ir/node.hpp"
#include "optimizer/engine.hpp"
#include "optimizer/reduced.hpp"
#include "store/graph_store.hpp"

namespace tarnvel {

// A fresh store built from a reduction, and the reduction's counters.
using ReducedStore = std::pair<std::unique_ptr<GraphStore>, ReductionReport>;

// The viewed nodes as the engine's input, in order and as they are.
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

// Reduces a view of the store against `outputs` (order and duplicates kept), or against its output
// marks when there are none; fails with the first id that names no node before anything is
// reduced. The result store is not built: from_reduced builds it, the report alone needs none.
[[nodiscard]] std::expected<Reduced, BadNodeId> reduction_of(
    const GraphStore& store, std::optional<std::span<const NodeId>> outputs,
    const RewriteEngine& engine, bool maximal_fusion);

// reduction_of, then from_reduced: against the store's output marks, or against `outputs`.
ReducedStore reduce_with(const GraphStore& store, const RewriteEngine& engine, bool maximal_fusion);
[[nodiscard]] std::expected<ReducedStore, BadNodeId> reduce_with_outputs(
    const GraphStore& store, std::span<const NodeId> outputs, const RewriteEngine& engine,
    bool maximal_fusion);

// The cone of `outputs` without any rewrite: dead code elimination only. The node map sends each
// surviving node to (its new id, no member); the store's marks follow `outputs`.
[[nodiscard]] std::expected<std::unique_ptr<GraphStore>, BadNodeId> cone(
    const GraphStore& store, std::span<const NodeId> outputs);

}  // namespace tarnvel

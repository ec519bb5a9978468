#include "optimizer/pipeline.hpp"

#include "optimizer/cse.hpp"
#include "optimizer/dce.hpp"
#include "optimizer/engine_symbol.hpp"
#include "optimizer/fusion.hpp"
#include "support/fault.hpp"
#include "support/table_growth.hpp"

namespace tarnvel {
namespace {

// Symbol -> first surviving node with it; a later node with the same symbol does not replace it.
// The keys borrow the symbols held by `engine_input`.
TokenMap build_token_map(std::span<const NodeKey> survivors, const EngineGraph& engine_input) {
  TokenMap map;
  for (std::size_t i = 0; i < survivors.size(); ++i) {
    reserve_aside(map, map.size() + 1);  // a growth failing inside the table would corrupt it
    map.try_emplace(engine_input.nodes[i].op, &survivors[i]);
  }
  return map;
}

void check_canonical(const CanonicalGraph& canonical, std::size_t input_size) {
  check_invariant(canonical.node_map.size() == input_size,
                  "index out of range: the canonical node map has one entry per engine input node");
  for (std::size_t entry : canonical.node_map) {
    check_invariant(entry < canonical.graph.nodes.size(),
                    "index out of range: canonical node map entry beyond the canonical graph");
  }
}

}  // namespace

EngineGraph to_engine_graph(std::span<const NodeKey> nodes, std::span<const NodeId> outputs) {
  EngineGraph graph;
  graph.nodes.reserve(nodes.size());
  for (const NodeKey& node : nodes) {
    const auto inputs = node.inputs();
    graph.nodes.push_back(EngineNode{engine_symbol(node),
                                     {inputs.begin(), inputs.end()},
                                     node.kind() != NodeKind::Op});
  }
  graph.outputs.assign(outputs.begin(), outputs.end());
  return graph;
}

Reduced reduce_with_mode(std::span<const NodeKey> nodes, std::span<const NodeId> outputs,
                         const RewriteEngine& engine, bool maximal_fusion) {
  Reduced reduced;
  reduced.input_nodes = nodes.size();

  DceResult live = dead_code_elimination(nodes, outputs);
  reduced.reachable_nodes = live.nodes.size();
  const EngineGraph engine_input = to_engine_graph(live.nodes, live.outputs);
  const TokenMap token_map = build_token_map(live.nodes, engine_input);

  // Index maps from the engine's input, through cse, to the reduced graph.
  std::vector<std::size_t> canonical_of;
  std::vector<std::size_t> dedup_of;
  FusionResult fused;
  {
    CanonicalGraph canonical = engine.canonicalize(engine_input);
    check_canonical(canonical, engine_input.nodes.size());
    CseResult dedup = cse(canonical.graph);
    canonical_of = std::move(canonical.node_map);
    dedup_of = std::move(dedup.index_map);
    reduced.canonical_nodes = dedup.graph.nodes.size();
    fused = stage_fusion(dedup.graph, maximal_fusion, token_map);
  }

  reduced.node_map.reserve(nodes.size());
  for (NodeId survivor : live.survival) {
    if (survivor == kDropped) {
      reduced.node_map.emplace_back(std::nullopt);
      continue;
    }
    reduced.node_map.emplace_back(fused.placement[dedup_of[canonical_of[survivor]]]);
  }
  reduced.nodes = std::move(fused.nodes);
  reduced.outputs = std::move(fused.outputs);
  reduced.stages = fused.stages;
  reduced.boundary_nodes = fused.boundary_nodes;
  reduced.reduced_nodes = reduced.nodes.size();
  return reduced;
}

ReducedStore from_reduced(Reduced reduced) {
  auto store = std::make_unique<GraphStore>();
  // ids[r] is the store id of reduced position r. It is the identity until interning meets a node
  // equal to an earlier one; until then nodes are interned as they are, without a copy.
  std::vector<NodeId> ids;
  ids.reserve(reduced.nodes.size());
  bool identity = true;
  for (NodeKey& node : reduced.nodes) {
    std::expected<NodeId, BadNodeId> id;
    if (identity) {
      id = store->intern(std::move(node));
    } else {
      NodeInputs inputs;
      inputs.reserve(node.inputs().size());
      for (NodeId input : node.inputs()) {
        check_invariant(input < ids.size(), "reduced graph references only earlier nodes");
        inputs.push_back(ids[input]);
      }
      id = store->intern(node.with_inputs(std::move(inputs)));
    }
    check_invariant(id.has_value(), "reduced graph references only earlier nodes");
    identity = identity && *id == ids.size();
    ids.push_back(*id);
  }
  reduced.nodes = {};
  for (NodeId output : reduced.outputs) {
    check_invariant(output < ids.size(), "reduced output is valid");
    check_invariant(store->mark_output(ids[output]).has_value(), "reduced output is valid");
  }
  for (NodeMapEntry& entry : reduced.node_map) {
    if (!entry) continue;
    check_invariant(entry->node < ids.size(),
                    "index out of range: node map entry beyond the reduced graph");
    entry->node = ids[entry->node];
  }
  store->install_node_map(std::move(reduced.node_map));
  return {std::move(store), reduced.report()};
}

ReducedStore reduce_with(const GraphStore& store, const RewriteEngine& engine,
                         bool maximal_fusion) {
  const Snapshot snapshot = store.snapshot();
  return from_reduced(reduce_with_mode(snapshot.nodes, snapshot.outputs, engine, maximal_fusion));
}

std::expected<ReducedStore, BadNodeId> reduce_with_outputs(const GraphStore& store,
                                                           std::span<const NodeId> outputs,
                                                           const RewriteEngine& engine,
                                                           bool maximal_fusion) {
  auto nodes = store.arena_holding(outputs);
  if (!nodes) return std::unexpected(nodes.error());
  return from_reduced(reduce_with_mode(*nodes, outputs, engine, maximal_fusion));
}

std::expected<std::unique_ptr<GraphStore>, BadNodeId> cone(const GraphStore& store,
                                                            std::span<const NodeId> outputs) {
  auto nodes = store.arena_holding(outputs);
  if (!nodes) return std::unexpected(nodes.error());
  DceResult live = dead_code_elimination(*nodes, outputs);
  Reduced reduced;
  reduced.node_map.reserve(live.survival.size());
  for (NodeId survivor : live.survival) {
    if (survivor == kDropped) {
      reduced.node_map.emplace_back(std::nullopt);
    } else {
      reduced.node_map.emplace_back(Landing{survivor, std::nullopt});
    }
  }
  reduced.nodes = std::move(live.nodes);
  reduced.outputs = std::move(live.outputs);
  return std::move(from_reduced(std::move(reduced)).first);
}

}  // namespace tarnvel

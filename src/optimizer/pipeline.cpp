#include "optimizer/pipeline.hpp"

#include <cstdint>
#include <string>

#include "optimizer/cse.hpp"
#include "optimizer/dce.hpp"
#include "optimizer/fusion.hpp"
#include "optimizer/op_id_map.hpp"
#include "support/fault.hpp"
#include "support/interruption.hpp"
#include "support/lookahead.hpp"
#include "support/table_growth.hpp"

namespace tarnvel {
namespace {

// Dead code elimination as a survival map alone: the survivors are read where they are.
struct LiveNodes {
  std::vector<NodeId> survival;  // old id -> new id, or kDropped
  std::size_t count = 0;         // survivors
  std::vector<NodeId> outputs;   // renumbered, one per requested output
};

LiveNodes live_nodes(const NodesView& nodes, std::span<const NodeId> outputs) {
  LiveNodes live;
  live.survival = survival_map(nodes, outputs);
  live.count = survivor_count(live.survival);
  live.outputs.reserve(outputs.size());
  for (NodeId output : outputs) live.outputs.push_back(live.survival[output]);
  return live;
}

// The engine graph of the nodes `survival` keeps (all of them when it is null), with their inputs
// renumbered on the way.
EngineGraph engine_graph(const NodesView& nodes, const std::vector<NodeId>* survival,
                         std::size_t count, std::span<const NodeId> outputs) {
  EngineGraph graph;
  graph.nodes.reserve(count);
  for (NodeId id = 0; id < nodes.size(); ++id) {
    if (survival != nullptr && (*survival)[id] == kDropped) continue;
    note_work();
    Node& added = graph.nodes.emplace_back(nodes.stored(id));
    if (survival == nullptr) continue;
    for (std::uint32_t& child : added.children) {
      child = static_cast<std::uint32_t>((*survival)[child]);
    }
  }
  graph.outputs.assign(outputs.begin(), outputs.end());
  return graph;
}

void check_canonical(const CanonicalGraph& canonical, std::size_t input_size) {
  check_invariant(canonical.node_map.size() == input_size,
                  "index out of range: the canonical node map has one entry per engine input node");
  for (std::size_t entry : canonical.node_map) {
    check_index(entry, canonical.graph.nodes.size(), "canonical node map entry");
  }
}

}  // namespace

EngineGraph to_engine_graph(const NodesView& nodes, std::span<const NodeId> outputs) {
  return engine_graph(nodes, nullptr, nodes.size(), outputs);
}

std::vector<NodeKey> Reduced::keys() const {
  std::vector<NodeKey> keys;
  keys.reserve(nodes.size());
  for (const Node& node : nodes) {
    keys.push_back(
        standalone_key(op_of(node), NodeInputs(node.children.begin(), node.children.end()), ops));
  }
  return keys;
}

namespace {

// Steps after dead code elimination, which kept `live` of `nodes`. The viewed nodes must stay
// unchanged until the result is built.
Reduced reduce_live(const NodesView& nodes, const LiveNodes& live, const RewriteEngine& engine,
                    bool maximal_fusion) {
  Reduced reduced;
  reduced.ops = nodes.ops();
  reduced.report.input_nodes = nodes.size();
  reduced.report.reachable_nodes = live.count;

  // Index maps from the engine's input, through cse, to the reduced graph.
  std::vector<std::size_t> canonical_of;
  std::vector<std::size_t> dedup_of;  // empty when cse was skipped: the identity
  FusionResult fused;
  {
    const EngineGraph engine_input = engine_graph(nodes, &live.survival, live.count, live.outputs);
    CanonicalGraph canonical = engine.canonicalize(engine_input);
    check_canonical(canonical, engine_input.nodes.size());
    canonical_of = std::move(canonical.node_map);
    if (canonical.duplicate_free) {
      reduced.report.canonical_nodes = canonical.graph.nodes.size();
      fused = stage_fusion(canonical.graph, maximal_fusion, reduced.ops);
    } else {
      CseResult dedup = cse(std::move(canonical.graph));
      dedup_of = std::move(dedup.index_map);
      reduced.report.canonical_nodes = dedup.graph.nodes.size();
      fused = stage_fusion(dedup.graph, maximal_fusion, reduced.ops);
    }
  }

  reduced.node_map.reserve(live.survival.size());
  for (NodeId survivor : live.survival) {
    if (survivor == kDropped) {
      reduced.node_map.emplace_back(std::nullopt);
      continue;
    }
    const std::size_t canonical = canonical_of[survivor];
    reduced.node_map.emplace_back(
        fused.placement[dedup_of.empty() ? canonical : dedup_of[canonical]]);
  }
  reduced.nodes = std::move(fused.nodes);
  reduced.stage_ops = std::move(fused.stage_ops);
  reduced.outputs = std::move(fused.outputs);
  reduced.report.stages = fused.stages;
  reduced.report.boundary_nodes = fused.boundary_nodes;
  reduced.report.reduced_nodes = reduced.nodes.size();
  return reduced;
}

// The store's nodes, viewed: read without the lock and without copying, they stay valid while the
// store lives (a store only ever appends, and appending never moves or changes a node). The caller
// keeps the store alive. Fails with the first output id that names no node.
std::expected<NodesView, BadNodeId> viewed_with(const GraphStore& store,
                                                std::span<const NodeId> outputs) {
  NodesView nodes = store.nodes_view();
  for (NodeId id : outputs) {
    if (id >= nodes.size()) return std::unexpected(BadNodeId{id});
  }
  return nodes;
}

}  // namespace

Reduced reduce_with_mode(const NodesView& nodes, std::span<const NodeId> outputs,
                         const RewriteEngine& engine, bool maximal_fusion) {
  return reduce_live(nodes, live_nodes(nodes, outputs), engine, maximal_fusion);
}

namespace {

// The store's id of each operator a reduced node names, interned on first use: the operators of
// the table reduced and the Stage operators fusion made, numbered after the table's (see Reduced).
// A Stage operator's members name operators by ids of the table, and are renamed to the store's
// ids on the way in.
class StoreOperators {
 public:
  StoreOperators(Reduced& reduced, GraphStore::Batch& batch)
      : reduced_(reduced),
        batch_(batch),
        from_table_(reduced.ops.size(), reduced.nodes.size()),
        from_stages_(reduced.stage_ops.size()) {}

  // The store's id of `node`'s operator. Side effect: interns that operator, and a Stage's member
  // operators, into the store when no node named it before, which fixes their ids there.
  OpId intern_operator_of(const Node& node) {
    if (node.op < reduced_.ops.size()) return from_table(node.op);
    const std::size_t stage = node.op - reduced_.ops.size();
    check_index(stage, from_stages_.size(), "stage operator of a reduced node");
    std::optional<OpId>& id = from_stages_[stage];
    if (!id) id = intern_stage(std::move(reduced_.stage_ops[stage]));  // later nodes take the id
    return *id;
  }

 private:
  OpId from_table(OpId op) {
    if (const OpId* mapped = from_table_.find(op)) return *mapped;
    check_index(op, reduced_.ops.size(), "operator id");
    const NodeKey& key = reduced_.ops[op];
    return from_table_.emplace(
        op, key.kind() == NodeKind::Stage ? intern_stage(key) : batch_.intern_operator(key));
  }

  // By value: a copy of a Stage operator of the table, or fusion's own, moved in.
  OpId intern_stage(NodeKey stage) {
    stage.rename_member_ops([&](OpId id) { return from_table(id); });
    const std::uint64_t hash = operator_hash(stage);
    return batch_.intern_operator(std::move(stage), hash);
  }

  Reduced& reduced_;
  GraphStore::Batch& batch_;
  OpIdMap<OpId> from_table_;
  std::vector<std::optional<OpId>> from_stages_;
};

// Interns the reduced nodes into the store in order and returns the store id of each reduced
// position. The ids are the identity until interning meets a node equal to an earlier one; until
// then nodes are interned as they are, and each node's index lookup starts loading kLookahead
// nodes before it is interned.
std::vector<NodeId> intern_nodes(const Reduced& reduced, StoreOperators& operators,
                                 GraphStore::Batch& batch) {
  constexpr std::size_t kLookahead = 8;
  std::vector<NodeId> ids;
  ids.reserve(reduced.nodes.size());
  // A node's operator and its hash as it will be interned while ids are the identity.
  struct Known {
    OpId op;
    std::uint64_t hash;
  };
  bool identity = true;
  NodeInputs remapped;
  for_each_with_lookahead<kLookahead>(
      reduced.nodes.size(),
      // Interns the node's operator kLookahead nodes before the node itself. Keys are computed once
      // each, in node order, so every operator gets the id it would get at its node's own step.
      [&](std::size_t r) {
        const Node& node = reduced.nodes[r];
        const OpId op = operators.intern_operator_of(node);
        return Known{op, node_hash(op, node.children.ids())};
      },
      [&](const Known& known) { batch.prefetch(known.hash); },
      [&](std::size_t r, const Known& known) {
        note_work();
        const Node& node = reduced.nodes[r];
        std::expected<NodeId, BadNodeId> id;
        if (identity) {
          id = batch.intern(known.op, node.children.ids(), known.hash);
        } else {
          remapped.clear();
          for (std::uint32_t input : node.children) {
            check_invariant(input < ids.size(), "reduced graph references only earlier nodes");
            remapped.push_back(ids[input]);
          }
          const std::span<const NodeId> inputs(remapped.data(), remapped.size());
          id = batch.intern(known.op, inputs, node_hash(known.op, inputs));
        }
        check_invariant(id.has_value(), "reduced graph references only earlier nodes");
        identity = identity && *id == ids.size();
        ids.push_back(*id);
      });
  return ids;
}

// Rewrites the node map's landings from reduced positions to the store ids `ids` gives them.
void land_in_store(std::vector<NodeMapEntry>& node_map, std::span<const NodeId> ids) {
  for (NodeMapEntry& entry : node_map) {
    if (!entry) continue;
    const Landing landing = *entry;
    check_index(landing.node, ids.size(), "node map entry");
    entry = Landing{ids[landing.node], landing.member};
  }
}

}  // namespace

ReducedStore from_reduced(Reduced reduced) {
  auto store = std::make_unique<GraphStore>();
  store->reserve(reduced.nodes.size());  // the index never grows while the nodes go in
  std::vector<NodeId> ids;
  store->batch([&](GraphStore::Batch& batch) {  // nobody else sees the store yet
    StoreOperators operators(reduced, batch);
    ids = intern_nodes(reduced, operators, batch);
    for (NodeId output : reduced.outputs) {
      check_invariant(output < ids.size(), "reduced output is valid");
      check_invariant(batch.mark_output(ids[output]).has_value(), "reduced output is valid");
    }
  });
  reduced.nodes = {};
  land_in_store(reduced.node_map, ids);
  store->install_node_map(std::move(reduced.node_map));
  return {std::move(store), reduced.report};
}

// Without `outputs` the marks are read, before the nodes. Marks only name nodes that exist and
// nodes are only appended, so nodes recorded in between are unreachable from these marks: the
// result is that of a snapshot taken when the nodes are read, with these marks.
std::expected<Reduced, BadNodeId> reduction_of(const GraphStore& store,
                                               std::optional<std::span<const NodeId>> outputs,
                                               const RewriteEngine& engine, bool maximal_fusion) {
  const std::vector<NodeId> marks = outputs ? std::vector<NodeId>() : store.outputs();
  const std::span<const NodeId> wanted = outputs ? *outputs : std::span<const NodeId>(marks);
  auto nodes = viewed_with(store, wanted);
  if (!nodes) {
    check_invariant(outputs.has_value(), "output marks name existing nodes");
    return std::unexpected(nodes.error());
  }
  return reduce_with_mode(*nodes, wanted, engine, maximal_fusion);
}

ReducedStore reduce_with(const GraphStore& store, const RewriteEngine& engine,
                         bool maximal_fusion) {
  return from_reduced(*reduction_of(store, std::nullopt, engine, maximal_fusion));
}

std::expected<ReducedStore, BadNodeId> reduce_with_outputs(const GraphStore& store,
                                                           std::span<const NodeId> outputs,
                                                           const RewriteEngine& engine,
                                                           bool maximal_fusion) {
  auto reduced = reduction_of(store, outputs, engine, maximal_fusion);
  if (!reduced) return std::unexpected(reduced.error());
  return from_reduced(std::move(*reduced));
}

std::expected<std::unique_ptr<GraphStore>, BadNodeId> cone(const GraphStore& store,
                                                           std::span<const NodeId> outputs) {
  auto nodes = viewed_with(store, outputs);
  if (!nodes) return std::unexpected(nodes.error());
  const LiveNodes live = live_nodes(*nodes, outputs);
  Reduced reduced;
  reduced.ops = nodes->ops();
  reduced.nodes.reserve(live.count);
  reduced.node_map.reserve(live.survival.size());
  for (NodeId id = 0; id < live.survival.size(); ++id) {
    const NodeId survivor = live.survival[id];
    if (survivor == kDropped) {
      reduced.node_map.emplace_back(std::nullopt);
      continue;
    }
    note_work();
    reduced.node_map.emplace_back(Landing{survivor, std::nullopt});
    Node& kept = reduced.nodes.emplace_back(nodes->stored(id));
    for (std::uint32_t& input : kept.children) {
      input = static_cast<std::uint32_t>(live.survival[input]);
    }
  }
  reduced.outputs = live.outputs;
  return std::move(from_reduced(std::move(reduced)).first);
}

}  // namespace tarnvel

#include "optimizer/pipeline.hpp"

#include <array>
#include <cstdint>
#include <string>

#include "optimizer/cse.hpp"
#include "optimizer/dce.hpp"
#include "optimizer/engine_symbol.hpp"
#include "optimizer/fusion.hpp"
#include "support/fault.hpp"
#include "support/interruption.hpp"
#include "support/table_growth.hpp"

namespace tarnvel {
namespace {

// The nodes an output needs, in ascending id order, as pointers to the nodes of the graph being
// reduced, with the survival map that renumbers them: dead code elimination without copying.
struct LiveNodes {
  std::vector<const NodeKey*> nodes;
  std::vector<NodeId> survival;  // old id -> new id, or kDropped
  std::vector<NodeId> outputs;   // renumbered, one per requested output
};

template <class Nodes>
LiveNodes live_nodes(const Nodes& nodes, std::span<const NodeId> outputs) {
  LiveNodes live;
  live.survival = survival_map(nodes, outputs);
  live.nodes.reserve(survivor_count(live.survival));
  for (NodeId id = 0; id < live.survival.size(); ++id) {
    if (live.survival[id] != kDropped) live.nodes.push_back(&nodes[id]);
  }
  live.outputs.reserve(outputs.size());
  for (NodeId output : outputs) live.outputs.push_back(live.survival[output]);
  return live;
}

// A node's symbol depends on its kind, name and parameters, not on its inputs, and many nodes share
// an operator and its parameters. Recent symbols are kept in a small direct-mapped cache, so that
// their text is copied instead of being formatted again. Stages and externals, whose symbols spell
// out their members or descriptor, are left out.
class SymbolCache {
 public:
  Text symbol(const NodeKey& node) {
    if (node.kind() == NodeKind::Stage || node.kind() == NodeKind::External) {
      return Text(engine_symbol(node));
    }
    const std::string_view name = node.name();
    Entry& entry = entries_[slot_of(node) % entries_.size()];
    if (entry.node == nullptr || entry.node->kind() != node.kind() || entry.node->name() != name ||
        !(entry.node->params() == node.params())) {
      entry.symbol = Text(engine_symbol(node));
      entry.node = &node;
    }
    return entry.symbol;
  }

 private:
  struct Entry {
    const NodeKey* node = nullptr;  // a node whose symbol is `symbol`
    Text symbol;
  };

  // Any function of the kind, name and parameter bytes will do: it only picks the slot.
  static std::size_t slot_of(const NodeKey& node) {
    std::size_t hash = static_cast<std::size_t>(node.kind());
    const auto mix = [&](std::string_view bytes) {
      for (unsigned char c : bytes) hash = (hash ^ c) * 0x100000001B3u;
    };
    mix(node.name());
    for (const Param& param : node.params()) {
      mix(param.key.view());
      std::uint64_t value = static_cast<std::uint64_t>(param.value.tag());
      switch (param.value.tag()) {
        case ParamValue::Tag::Int: value ^= static_cast<std::uint64_t>(param.value.as_int()); break;
        case ParamValue::Tag::Float:
          value ^= ParamValue::canonical_float_bits(param.value.as_float());
          break;
        case ParamValue::Tag::Bool: value ^= param.value.as_bool() ? 2 : 0; break;
        case ParamValue::Tag::Str: mix(param.value.as_str()); break;
      }
      hash = (hash ^ value) * 0x100000001B3u;
    }
    return hash ^ (hash >> 29);
  }
  std::array<Entry, 256> entries_;
};

// to_engine_graph over the survivors, with their inputs renumbered on the way.
EngineGraph live_engine_graph(const LiveNodes& live) {
  EngineGraph graph;
  graph.nodes.reserve(live.nodes.size());
  SymbolCache symbols;
  for (const NodeKey* node : live.nodes) {
    note_work();
    EngineNode& added = graph.nodes.emplace_back();
    added.op = symbols.symbol(*node);
    added.children.reserve(node->inputs().size());
    for (NodeId input : node->inputs()) added.children.push_back(live.survival[input]);
    added.opaque = node->kind() != NodeKind::Op;
  }
  graph.outputs.assign(live.outputs.begin(), live.outputs.end());
  return graph;
}

// Symbol -> first surviving node with it; a later node with the same symbol does not replace it.
// Fusion looks up opaque nodes only, and no opaque symbol begins with "op|" as every Op symbol
// does, so Op nodes are left out. The keys borrow the symbols held by `engine_input`.
TokenMap build_token_map(const LiveNodes& live, const EngineGraph& engine_input) {
  TokenMap map;
  for (std::size_t i = 0; i < live.nodes.size(); ++i) {
    if (!engine_input.nodes[i].opaque) continue;
    reserve_aside(map, map.size() + 1);  // a growth failing inside the table would corrupt it
    map.try_emplace(engine_input.nodes[i].op, live.nodes[i]);
  }
  return map;
}

void check_canonical(const CanonicalGraph& canonical, std::size_t input_size) {
  check_invariant(canonical.node_map.size() == input_size,
                  "index out of range: the canonical node map has one entry per engine input node");
  for (std::size_t entry : canonical.node_map) {
    check_index(entry, canonical.graph.nodes.size(), "canonical node map entry");
  }
}

}  // namespace

EngineGraph to_engine_graph(std::span<const NodeKey> nodes, std::span<const NodeId> outputs) {
  EngineGraph graph;
  graph.nodes.reserve(nodes.size());
  for (const NodeKey& node : nodes) {
    const auto inputs = node.inputs();
    graph.nodes.push_back(EngineNode{
        Text(engine_symbol(node)), {inputs.begin(), inputs.end()}, node.kind() != NodeKind::Op});
  }
  graph.outputs.assign(outputs.begin(), outputs.end());
  return graph;
}

namespace {

// Steps after dead code elimination, which kept `live` of `input_nodes` nodes. The nodes `live`
// points to must stay unchanged until the result is built.
Reduced reduce_live(const LiveNodes& live, std::uint64_t input_nodes, const RewriteEngine& engine,
                    bool maximal_fusion) {
  Reduced reduced;
  reduced.input_nodes = input_nodes;
  reduced.reachable_nodes = live.nodes.size();
  const EngineGraph engine_input = live_engine_graph(live);
  const TokenMap token_map = build_token_map(live, engine_input);

  // Index maps from the engine's input, through cse, to the reduced graph.
  std::vector<std::size_t> canonical_of;
  std::vector<std::size_t> dedup_of;  // empty when cse was skipped: the identity
  FusionResult fused;
  {
    CanonicalGraph canonical = engine.canonicalize(engine_input);
    check_canonical(canonical, engine_input.nodes.size());
    canonical_of = std::move(canonical.node_map);
    if (canonical.duplicate_free) {
      reduced.canonical_nodes = canonical.graph.nodes.size();
      fused = stage_fusion(canonical.graph, maximal_fusion, token_map);
    } else {
      CseResult dedup = cse(std::move(canonical.graph));
      dedup_of = std::move(dedup.index_map);
      reduced.canonical_nodes = dedup.graph.nodes.size();
      fused = stage_fusion(dedup.graph, maximal_fusion, token_map);
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
  reduced.outputs = std::move(fused.outputs);
  reduced.stages = fused.stages;
  reduced.boundary_nodes = fused.boundary_nodes;
  reduced.reduced_nodes = reduced.nodes.size();
  return reduced;
}

// Dead code elimination over a view of the store's nodes, taking only pointers to the survivors,
// which stay valid while the store lives (a store only ever appends, and appending never moves or
// changes a node). The caller keeps the store alive. Fails with the first output id that names no
// node.
std::expected<std::pair<LiveNodes, std::uint64_t>, BadNodeId> live_in_store(
    const GraphStore& store, std::span<const NodeId> outputs) {
  const NodesView nodes = store.nodes_view();
  for (NodeId id : outputs) {
    if (id >= nodes.size()) return std::unexpected(BadNodeId{id});
  }
  return std::pair{live_nodes(nodes, outputs), std::uint64_t{nodes.size()}};
}

}  // namespace

Reduced reduce_with_mode(std::span<const NodeKey> nodes, std::span<const NodeId> outputs,
                         const RewriteEngine& engine, bool maximal_fusion) {
  return reduce_live(live_nodes(nodes, outputs), nodes.size(), engine, maximal_fusion);
}

Reduced reduce_with_mode(const NodesView& nodes, std::span<const NodeId> outputs,
                         const RewriteEngine& engine, bool maximal_fusion) {
  return reduce_live(live_nodes(nodes, outputs), nodes.size(), engine, maximal_fusion);
}

ReducedStore from_reduced(Reduced reduced) {
  auto store = std::make_unique<GraphStore>();
  store->reserve(reduced.nodes.size());  // the index never grows while the nodes go in
  // ids[r] is the store id of reduced position r. It is the identity until interning meets a node
  // equal to an earlier one; until then nodes are interned as they are, without a copy, and each
  // node's index lookup starts loading kLookahead nodes before it is interned.
  constexpr std::size_t kLookahead = 8;
  std::vector<NodeId> ids;
  ids.reserve(reduced.nodes.size());
  store->batch([&](GraphStore::Batch& batch) {  // nobody else sees the store yet
    const std::size_t count = reduced.nodes.size();
    bool identity = true;
    std::array<std::uint64_t, kLookahead> hashes{};  // of positions r .. r + kLookahead - 1
    const auto load_ahead = [&](std::size_t r) {
      if (r >= count) return;
      hashes[r % kLookahead] = structural_hash(reduced.nodes[r]);
      batch.prefetch(hashes[r % kLookahead]);
    };
    for (std::size_t r = 0; r < kLookahead; ++r) load_ahead(r);
    for (std::size_t r = 0; r < count; ++r) {
      note_work();
      NodeKey& node = reduced.nodes[r];
      std::expected<NodeId, BadNodeId> id;
      if (identity) {
        const std::uint64_t hash = hashes[r % kLookahead];
        load_ahead(r + kLookahead);
        id = batch.intern(std::move(node), hash);
      } else {
        NodeInputs inputs;
        inputs.reserve(node.inputs().size());
        for (NodeId input : node.inputs()) {
          check_invariant(input < ids.size(), "reduced graph references only earlier nodes");
          inputs.push_back(ids[input]);
        }
        id = batch.intern(node.with_inputs(std::move(inputs)));
      }
      check_invariant(id.has_value(), "reduced graph references only earlier nodes");
      identity = identity && *id == ids.size();
      ids.push_back(*id);
    }
    for (NodeId output : reduced.outputs) {
      check_invariant(output < ids.size(), "reduced output is valid");
      check_invariant(batch.mark_output(ids[output]).has_value(), "reduced output is valid");
    }
  });
  reduced.nodes = {};
  for (NodeMapEntry& entry : reduced.node_map) {
    if (!entry) continue;
    check_index(entry->node, ids.size(), "node map entry");
    entry->node = ids[entry->node];
  }
  store->install_node_map(std::move(reduced.node_map));
  return {std::move(store), reduced.report()};
}

// The marks are read before the nodes. Marks only name nodes that exist and nodes are only
// appended, so nodes recorded in between are unreachable from these marks: the result is that of a
// snapshot taken when the nodes are read, with these marks.
ReducedStore reduce_with(const GraphStore& store, const RewriteEngine& engine,
                         bool maximal_fusion) {
  const std::vector<NodeId> outputs = store.outputs();
  auto live = live_in_store(store, outputs);
  check_invariant(live.has_value(), "output marks name existing nodes");
  return from_reduced(reduce_live(live->first, live->second, engine, maximal_fusion));
}

std::expected<ReducedStore, BadNodeId> reduce_with_outputs(const GraphStore& store,
                                                           std::span<const NodeId> outputs,
                                                           const RewriteEngine& engine,
                                                           bool maximal_fusion) {
  auto live = live_in_store(store, outputs);
  if (!live) return std::unexpected(live.error());
  return from_reduced(reduce_live(live->first, live->second, engine, maximal_fusion));
}

std::expected<std::unique_ptr<GraphStore>, BadNodeId> cone(const GraphStore& store,
                                                           std::span<const NodeId> outputs) {
  const NodesView nodes = store.nodes_view();
  for (NodeId id : outputs) {
    if (id >= nodes.size()) return std::unexpected(BadNodeId{id});
  }
  DceResult live = dead_code_elimination(nodes, outputs);
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

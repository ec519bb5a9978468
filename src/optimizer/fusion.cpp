#include "optimizer/fusion.hpp"

#include <algorithm>
#include <numeric>
#include <span>
#include <utility>

#include "support/fault.hpp"

namespace tarnvel {
namespace {

constexpr std::size_t kUnset = ~std::size_t{0};

// A list of lists indexed by node, stored flat: entries of list i are items[start[i]..start[i+1]).
struct Lists {
  std::vector<std::size_t> start;
  std::vector<std::size_t> items;
  std::span<const std::size_t> of(std::size_t i) const {
    return {items.data() + start[i], start[i + 1] - start[i]};
  }
};

// Consumers of every node, one entry per input slot that names it, in ascending consumer order.
Lists collect_uses(const EngineGraph& graph) {
  const std::size_t n = graph.nodes.size();
  Lists uses;
  uses.start.assign(n + 1, 0);
  for (const EngineNode& node : graph.nodes) {
    for (std::size_t child : node.children) {
      check_invariant(child < n, "index out of range: child beyond the node list");
      ++uses.start[child + 1];
    }
  }
  std::partial_sum(uses.start.begin(), uses.start.end(), uses.start.begin());
  uses.items.resize(uses.start[n]);
  std::vector<std::size_t> cursor(uses.start.begin(), uses.start.end() - 1);
  for (std::size_t k = 0; k < n; ++k) {
    for (std::size_t child : graph.nodes[k].children) uses.items[cursor[child]++] = k;
  }
  return uses;
}

// Members of every group, indexed by stage id, in ascending node order.
Lists collect_groups(const std::vector<std::size_t>& stage_of) {
  const std::size_t n = stage_of.size();
  Lists groups;
  groups.start.assign(n + 1, 0);
  for (std::size_t s : stage_of) ++groups.start[s + 1];
  std::partial_sum(groups.start.begin(), groups.start.end(), groups.start.begin());
  groups.items.resize(n);
  std::vector<std::size_t> cursor(groups.start.begin(), groups.start.end() - 1);
  for (std::size_t i = 0; i < n; ++i) groups.items[cursor[stage_of[i]]++] = i;
  return groups;
}

// Full path compression: every node on the walked path ends up pointing at the root.
std::size_t find_root(std::vector<std::size_t>& parent, std::size_t x) {
  std::size_t root = x;
  while (parent[root] != root) root = parent[root];
  while (parent[x] != root) x = std::exchange(parent[x], root);
  return root;
}

// Stage id = the smallest index of the group.
std::vector<std::size_t> single_use_stages(const EngineGraph& graph, const Lists& uses,
                                           const std::vector<std::uint8_t>& is_output) {
  const std::size_t n = graph.nodes.size();
  std::vector<std::size_t> parent(n);
  std::iota(parent.begin(), parent.end(), std::size_t{0});
  for (std::size_t k = 0; k < n; ++k) {
    const auto consumers = uses.of(k);
    if (graph.nodes[k].opaque || consumers.size() != 1 || is_output[k]) continue;
    if (graph.nodes[consumers[0]].opaque) continue;
    const std::size_t a = find_root(parent, k);
    const std::size_t b = find_root(parent, consumers[0]);
    if (a != b) parent[std::max(a, b)] = std::min(a, b);
  }
  // Opaque nodes were never linked, so each is its own root.
  for (std::size_t i = 0; i < n; ++i) find_root(parent, i);
  return parent;
}

// Stage id = the largest index of the group. Consumers come after a node, so visiting nodes from
// the last down finds every consumer's stage id final.
std::vector<std::size_t> maximal_stages(const EngineGraph& graph, const Lists& uses,
                                        const std::vector<std::uint8_t>& is_output) {
  const std::size_t n = graph.nodes.size();
  std::vector<std::size_t> stage_of(n);
  std::iota(stage_of.begin(), stage_of.end(), std::size_t{0});
  for (std::size_t k = n; k-- > 0;) {
    const auto consumers = uses.of(k);
    if (graph.nodes[k].opaque || is_output[k] || consumers.empty()) continue;
    const std::size_t s = stage_of[consumers[0]];
    const bool joins = std::ranges::all_of(consumers, [&](std::size_t c) {
      return !graph.nodes[c].opaque && stage_of[c] == s;
    });
    if (joins) stage_of[k] = s;
  }
  return stage_of;
}

class Emitter {
 public:
  Emitter(const EngineGraph& graph, const TokenMap& token_map, std::vector<std::size_t> stage_of)
      : graph_(graph),
        token_map_(token_map),
        stage_of_(std::move(stage_of)),
        groups_(collect_groups(stage_of_)),
        position_(graph.nodes.size(), kUnset),
        member_index_(graph.nodes.size(), 0),
        input_slot_(graph.nodes.size(), kUnset) {}

  // Groups in ascending order of their largest member: a group is emitted when the walk reaches its
  // last member. The largest members are distinct, so this is the stable sort by them.
  FusionResult run() {
    const std::size_t n = graph_.nodes.size();
    FusionResult result;
    result.placement.resize(n, Landing{0, std::nullopt});
    std::size_t group_count = 0;
    for (std::size_t i = 0; i < n; ++i) group_count += is_last_member(i);
    result.nodes.reserve(group_count);
    for (std::size_t i = 0; i < n; ++i) {
      if (!is_last_member(i)) continue;
      const std::size_t s = stage_of_[i];
      position_[s] = result.nodes.size();
      if (graph_.nodes[s].opaque) {
        emit_boundary(s, result);
      } else {
        emit_stage(s, result);
      }
    }
    result.outputs.reserve(graph_.outputs.size());
    for (std::size_t output : graph_.outputs) {
      check_invariant(output < n, "index out of range: output beyond the node list");
      result.outputs.push_back(position_[stage_of_[output]]);
    }
    return result;
  }

 private:
  bool is_last_member(std::size_t i) const { return groups_.of(stage_of_[i]).back() == i; }

  std::size_t position_of_group(std::size_t s) const {
    check_invariant(position_[s] != kUnset, "a group is emitted after the groups it reads");
    return position_[s];
  }

  void emit_boundary(std::size_t s, FusionResult& result) {
    const EngineNode& node = graph_.nodes[s];
    const auto entry = token_map_.find(node.op);
    check_invariant(entry != token_map_.end(), "no entry found for key");
    NodeInputs inputs;
    inputs.reserve(node.children.size());
    for (std::size_t child : node.children) inputs.push_back(position_of_group(stage_of_[child]));
    result.placement[s] = Landing{result.nodes.size(), std::nullopt};
    result.nodes.push_back(entry->second->with_inputs(std::move(inputs)));
    ++result.boundary_nodes;
  }

  void emit_stage(std::size_t s, FusionResult& result) {
    const NodeId position = result.nodes.size();
    const auto members = groups_.of(s);
    std::vector<StageOp> ops;
    ops.reserve(members.size());
    for (std::size_t q = 0; q < members.size(); ++q) {
      const EngineNode& node = graph_.nodes[members[q]];
      member_index_[members[q]] = q;
      StageOp op{node.op, {}};
      op.refs.reserve(node.children.size());
      for (std::size_t child : node.children) {
        const std::size_t g = stage_of_[child];
        if (g == s) {
          op.refs.push_back(StageRef::member(member_index_[child]));
          continue;
        }
        if (input_slot_[g] == kUnset) {
          input_slot_[g] = read_groups_.size();
          read_groups_.push_back(g);
        }
        op.refs.push_back(StageRef::input(input_slot_[g]));
      }
      ops.push_back(std::move(op));
      result.placement[members[q]] = Landing{position, q};
    }
    NodeInputs inputs;
    inputs.reserve(read_groups_.size());
    for (std::size_t g : read_groups_) {
      inputs.push_back(position_of_group(g));
      input_slot_[g] = kUnset;
    }
    read_groups_.clear();
    result.nodes.push_back(NodeKey::stage(std::move(inputs), std::move(ops)));
    ++result.stages;
  }

  const EngineGraph& graph_;
  const TokenMap& token_map_;
  std::vector<std::size_t> stage_of_;     // per node: its stage id
  Lists groups_;                          // per stage id: its members
  std::vector<std::size_t> position_;     // per stage id: reduced position once emitted
  std::vector<std::size_t> member_index_; // per node in a Stage: its index among the members
  std::vector<std::size_t> input_slot_;   // per stage id: index in the current stage's inputs
  std::vector<std::size_t> read_groups_;  // the current stage's inputs as stage ids, in first use
};

}  // namespace

FusionResult stage_fusion(const EngineGraph& graph, bool maximal_fusion,
                          const TokenMap& token_map) {
  std::vector<std::size_t> stage_of;
  {  // uses and output flags are only needed to choose the groups
    const Lists uses = collect_uses(graph);
    std::vector<std::uint8_t> is_output(graph.nodes.size(), 0);
    for (std::size_t output : graph.outputs) {
      check_invariant(output < graph.nodes.size(),
                      "index out of range: output beyond the node list");
      is_output[output] = 1;
    }
    stage_of = maximal_fusion ? maximal_stages(graph, uses, is_output)
                              : single_use_stages(graph, uses, is_output);
  }
  return Emitter(graph, token_map, std::move(stage_of)).run();
}

}  // namespace tarnvel

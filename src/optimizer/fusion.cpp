#include "optimizer/fusion.hpp"

#include <algorithm>
#include <limits>
#include <numeric>
#include <span>
#include <utility>

#include "absl/container/flat_hash_set.h"
#include "support/fault.hpp"
#include "support/interruption.hpp"
#include "support/table_growth.hpp"

namespace tarnvel {
namespace {

// Indices of nodes, stages and uses in 32 bits: the working arrays are half the size.
using Index = std::uint32_t;
constexpr Index kUnset = ~Index{0};

Index node_count(const EngineGraph& graph) { return static_cast<Index>(graph.nodes.size()); }

// Nodes and uses (one per input slot) must both be counted in 32 bits.
void check_size(const EngineGraph& graph) {
  std::size_t slots = 0;
  for (const Node& node : graph.nodes) slots += node.children.size();
  check_invariant(graph.nodes.size() < kUnset && slots < kUnset, "graph too large to fuse");
}

// Per node: 1 when it is opaque, that is not an Op node, which the table tells by its operator.
std::vector<std::uint8_t> opaque_nodes(const EngineGraph& graph, const OperatorTable::View& ops) {
  std::vector<std::uint8_t> opaque;
  opaque.reserve(graph.nodes.size());
  for (const Node& node : graph.nodes) {
    check_index(node.op, ops.size(), "operator id");
    opaque.push_back(ops[node.op].kind() != NodeKind::Op ? 1 : 0);
  }
  return opaque;
}

// A list of lists indexed by node, stored flat: entries of list i are items[start[i]..start[i+1]).
struct Lists {
  std::vector<Index> start;
  std::vector<Index> items;
  std::span<const Index> of(Index i) const {
    return {items.data() + start[i], start[i + 1] - start[i]};
  }
};

// Lists of `key_count` keys filled by a counting sort. `for_each_entry(visit)` calls visit(key,
// item) for every entry, the same entries in the same order each of the two times it runs; each
// list keeps its items in that order.
template <class ForEachEntry>
Lists bucket_by_key(Index key_count, ForEachEntry&& for_each_entry) {
  Lists lists;
  lists.start.assign(key_count + 1, 0);
  for_each_entry([&](Index key, Index) { ++lists.start[key + 1]; });
  std::partial_sum(lists.start.begin(), lists.start.end(), lists.start.begin());
  lists.items.resize(lists.start[key_count]);
  std::vector<Index> cursor(lists.start.begin(), lists.start.end() - 1);
  for_each_entry([&](Index key, Index item) { lists.items[cursor[key]++] = item; });
  return lists;
}

// Consumers of every node, one entry per input slot that names it, in ascending consumer order.
Lists collect_uses(const EngineGraph& graph) {
  const Index n = node_count(graph);
  return bucket_by_key(n, [&](auto&& visit) {
    for (Index k = 0; k < n; ++k) {
      for (std::uint32_t child : graph.nodes[k].children) {
        check_index(child, n, "child of an engine node");
        visit(child, k);
      }
    }
  });
}

// Members of every group, indexed by stage id, in ascending node order.
Lists collect_groups(const std::vector<Index>& stage_of) {
  const auto n = static_cast<Index>(stage_of.size());
  return bucket_by_key(n, [&](auto&& visit) {
    for (Index i = 0; i < n; ++i) visit(stage_of[i], i);
  });
}

// Full path compression: every node on the walked path ends up pointing at the root.
Index find_root(std::vector<Index>& parent, Index x) {
  Index root = x;
  while (parent[root] != root) root = parent[root];
  while (parent[x] != root) x = std::exchange(parent[x], root);
  return root;
}

// Stage id = the smallest index of the group.
std::vector<Index> single_use_stages(const EngineGraph& graph, const Lists& uses,
                                     const std::vector<std::uint8_t>& is_output,
                                     const std::vector<std::uint8_t>& opaque) {
  const Index n = node_count(graph);
  std::vector<Index> parent(n);
  std::iota(parent.begin(), parent.end(), Index{0});
  for (Index k = 0; k < n; ++k) {
    note_work();
    const auto consumers = uses.of(k);
    if (opaque[k] || consumers.size() != 1 || is_output[k]) continue;
    if (opaque[consumers[0]]) continue;
    const Index a = find_root(parent, k);
    const Index b = find_root(parent, consumers[0]);
    if (a != b) parent[std::max(a, b)] = std::min(a, b);
  }
  // Opaque nodes were never linked, so each is its own root.
  for (Index i = 0; i < n; ++i) find_root(parent, i);
  return parent;
}

// Stage id = the largest index of the group. Consumers come after a node, so visiting nodes from
// the last down finds every consumer's stage id final.
std::vector<Index> maximal_stages(const EngineGraph& graph, const Lists& uses,
                                  const std::vector<std::uint8_t>& is_output,
                                  const std::vector<std::uint8_t>& opaque) {
  const Index n = node_count(graph);
  std::vector<Index> stage_of(n);
  std::iota(stage_of.begin(), stage_of.end(), Index{0});
  for (Index k = n; k-- > 0;) {
    note_work();
    const auto consumers = uses.of(k);
    if (opaque[k] || is_output[k] || consumers.empty()) continue;
    const Index s = stage_of[consumers[0]];
    const bool joins =
        std::ranges::all_of(consumers, [&](Index c) { return !opaque[c] && stage_of[c] == s; });
    if (joins) stage_of[k] = s;
  }
  return stage_of;
}

// The Stage operators made, each kept once: stages of one shape share their operator, so a graph
// of millions of small stages holds a few operators rather than one each. Each operator's hash is
// kept beside it, for the index's growth.
class StageOperators {
 public:
  explicit StageOperators(Chunked<NodeKey>& ops)
      : ops_(ops), index_(0, Hash{&hashes_}, Same{&ops}) {}
  StageOperators(const StageOperators&) = delete;  // the index points at hashes_
  StageOperators& operator=(const StageOperators&) = delete;

  // The index of `op` among the operators, added when new.
  OpId intern(NodeKey op) {
    const std::uint64_t hash = operator_hash(op);
    const Probe probe{&op, hash};
    if (const auto known = index_.find(probe); known != index_.end()) return *known;
    reserve_aside(index_, index_.size() + 1);  // a growth failing inside the table corrupts it
    if (hashes_.size() == hashes_.capacity()) hashes_.reserve(2 * hashes_.size() + 8);
    ops_.emplace_back(std::move(op));
    hashes_.push_back(hash);  // cannot fail: room reserved
    const auto id = static_cast<OpId>(ops_.size() - 1);
    index_.insert(id);  // cannot fail: room reserved
    return id;
  }

 private:
  struct Probe {
    const NodeKey* op;
    std::uint64_t hash;
  };
  struct Hash {
    using is_transparent = void;
    const std::vector<std::uint64_t>* hashes;
    std::size_t operator()(OpId id) const { return (*hashes)[id]; }
    std::size_t operator()(const Probe& probe) const { return probe.hash; }
  };
  struct Same {
    using is_transparent = void;
    const Chunked<NodeKey>* ops;
    bool operator()(OpId a, OpId b) const { return a == b; }
    bool operator()(const Probe& probe, OpId id) const {
      return (*ops)[id].same_operator(*probe.op);
    }
    bool operator()(OpId id, const Probe& probe) const { return (*this)(probe, id); }
  };

  Chunked<NodeKey>& ops_;
  std::vector<std::uint64_t> hashes_;  // operator_hash of each of ops_
  absl::flat_hash_set<OpId, Hash, Same> index_;  // lookups only: never iterated
};

class Emitter {
 public:
  Emitter(const EngineGraph& graph, const OperatorTable::View& ops, std::vector<Index> stage_of,
          std::vector<std::uint8_t> opaque)
      : graph_(graph),
        ops_(ops),
        opaque_(std::move(opaque)),
        stage_of_(std::move(stage_of)),
        groups_(collect_groups(stage_of_)),
        position_(graph.nodes.size(), kUnset),
        member_index_(graph.nodes.size(), 0),
        input_slot_(graph.nodes.size(), kUnset) {}

  // Groups in ascending order of their largest member: a group is emitted when the walk reaches its
  // last member. The largest members are distinct, so this is the stable sort by them.
  FusionResult run() {
    const Index n = node_count(graph_);
    FusionResult result;
    StageOperators stage_ops(result.stage_ops);
    stage_ops_ = &stage_ops;
    result.placement.resize(n);  // every entry is set: each node is a member of one group
    Index group_count = 0;
    for (Index i = 0; i < n; ++i) group_count += is_last_member(i);
    result.nodes.reserve(group_count);
    for (Index i = 0; i < n; ++i) {
      if (!is_last_member(i)) continue;
      const Index s = stage_of_[i];
      position_[s] = static_cast<Index>(result.nodes.size());
      if (opaque_[s]) {
        emit_boundary(s, result);
      } else {
        emit_stage(s, result);
      }
    }
    result.outputs.reserve(graph_.outputs.size());
    for (std::size_t output : graph_.outputs) {
      check_index(output, n, "engine output");
      result.outputs.push_back(position_[stage_of_[output]]);
    }
    return result;
  }

 private:
  bool is_last_member(Index i) const { return groups_.of(stage_of_[i]).back() == i; }

  Index position_of_group(Index s) const {
    check_invariant(position_[s] != kUnset, "a group is emitted after the groups it reads");
    return position_[s];
  }

  void emit_boundary(Index s, FusionResult& result) {
    result.placement[s] = Landing{result.nodes.size(), std::nullopt};
    Node& boundary = result.nodes.emplace_back(graph_.nodes[s]);
    for (std::uint32_t& child : boundary.children) child = position_of_group(stage_of_[child]);
    ++result.boundary_nodes;
  }

  void emit_stage(Index s, FusionResult& result) {
    const NodeId position = result.nodes.size();
    const auto members = groups_.of(s);
    std::vector<StageOp> ops;
    ops.reserve(members.size());
    for (Index q = 0; q < static_cast<Index>(members.size()); ++q) {
      const Node& node = graph_.nodes[members[q]];
      member_index_[members[q]] = q;
      StageOp op{node.op, {}};
      op.refs.reserve(node.children.size());
      for (std::uint32_t child : node.children) {
        const Index g = stage_of_[child];
        if (g == s) {
          op.refs.push_back(StageRef::member(member_index_[child]));
          continue;
        }
        if (input_slot_[g] == kUnset) {
          input_slot_[g] = static_cast<Index>(read_groups_.size());
          read_groups_.push_back(g);
        }
        op.refs.push_back(StageRef::input(input_slot_[g]));
      }
      ops.push_back(std::move(op));
      result.placement[members[q]] = Landing{position, q};
    }
    // Stage operators are numbered after the table's (see Reduced).
    const std::size_t op = ops_.size() + stage_ops_->intern(NodeKey::stage({}, std::move(ops)));
    check_invariant(op <= std::numeric_limits<OpId>::max(), "stage operator ids fit in 32 bits");
    for (Index& g : read_groups_) {  // the groups read become their positions
      input_slot_[g] = kUnset;
      g = position_of_group(g);
    }
    result.nodes.push_back(
        Node{static_cast<OpId>(op), Children(std::span<const Index>(read_groups_))});
    read_groups_.clear();
    ++result.stages;
  }

  const EngineGraph& graph_;
  const OperatorTable::View& ops_;
  std::vector<std::uint8_t> opaque_;  // per node: 1 when not an Op
  StageOperators* stage_ops_ = nullptr;  // the result's, while run() builds it
  std::vector<Index> stage_of_;      // per node: its stage id
  Lists groups_;                     // per stage id: its members
  std::vector<Index> position_;      // per stage id: reduced position once emitted
  std::vector<Index> member_index_;  // per node in a Stage: its index among the members
  std::vector<Index> input_slot_;    // per stage id: index in the current stage's inputs
  std::vector<Index> read_groups_;   // the current stage's inputs as stage ids, in first use
};

}  // namespace

FusionResult stage_fusion(const EngineGraph& graph, bool maximal_fusion,
                          const OperatorTable::View& ops) {
  check_size(graph);
  std::vector<std::uint8_t> opaque = opaque_nodes(graph, ops);
  std::vector<Index> stage_of;
  {  // uses and output flags are only needed to choose the groups
    const Lists uses = collect_uses(graph);
    std::vector<std::uint8_t> is_output(graph.nodes.size(), 0);
    for (std::size_t output : graph.outputs) {
      check_index(output, graph.nodes.size(), "engine output");
      is_output[output] = 1;
    }
    stage_of = maximal_fusion ? maximal_stages(graph, uses, is_output, opaque)
                              : single_use_stages(graph, uses, is_output, opaque);
  }
  return Emitter(graph, ops, std::move(stage_of), std::move(opaque)).run();
}

}  // namespace tarnvel

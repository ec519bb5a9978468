// The node layout: operators interned once per table, nodes kept as an operator id and inputs.
#include "store/operator_table.hpp"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "ir/fixed_operators.hpp"
#include "node_builders.hpp"
#include "optimizer/incremental.hpp"
#include "optimizer/pipeline.hpp"
#include "optimizer/saturation_engine.hpp"
#include "serialize/blob.hpp"

namespace tarnvel {
namespace {

std::vector<std::uint32_t> inputs_of(const Node& node) {
  return {node.children.begin(), node.children.end()};
}

// `count` inputs, the first one the largest id a node can name.
std::vector<std::uint32_t> some_inputs(std::size_t count, std::uint32_t salt = 0) {
  std::vector<std::uint32_t> inputs;
  for (std::size_t i = 0; i < count; ++i) {
    inputs.push_back(0xFFFF'FFFFu - static_cast<std::uint32_t>(7 * i) - salt);
  }
  return inputs;
}

Node stored(OpId op, const std::vector<std::uint32_t>& inputs) {
  return Node{op, Children(std::span<const std::uint32_t>(inputs))};
}

// Up to two inputs sit in the node, more in a block it owns: each length must survive moves,
// copies and assignments over nodes of either form (a leak or a double free shows under the
// sanitizers), and a copy owns its own block.
TEST(NodeTest, InputsOfEveryLengthRoundTripThroughMovesAndCopies) {
  for (std::size_t count : {0, 1, 2, 3, 17}) {
    SCOPED_TRACE(count);
    const std::vector<std::uint32_t> inputs = some_inputs(count);
    Node node = stored(41, inputs);
    EXPECT_EQ(node.op, 41u);
    EXPECT_EQ(inputs_of(node), inputs);
    Node moved(std::move(node));
    EXPECT_EQ(moved.op, 41u);
    EXPECT_EQ(inputs_of(moved), inputs);
    for (std::size_t other : {0, 2, 5}) {
      Node target = stored(7, some_inputs(other, 1));
      target = std::move(moved);
      EXPECT_EQ(target.op, 41u);
      EXPECT_EQ(inputs_of(target), inputs);
      moved = std::move(target);
      Node copied = stored(7, some_inputs(other, 2));
      copied = moved;
      EXPECT_EQ(copied, moved);
      if (count > 0) copied.children[0] ^= 1;
      EXPECT_EQ(inputs_of(moved), inputs);
    }
    EXPECT_EQ(inputs_of(moved), inputs);
  }
}

// Children grown one at a time cross from inline to the heap and through each regrowth.
TEST(NodeTest, ManyNodesKeepTheirInputsWhileTheirVectorReallocates) {
  std::vector<Node> nodes;
  for (std::uint32_t i = 0; i < 1000; ++i) nodes.push_back(stored(i, some_inputs(i % 6, i)));
  for (std::uint32_t i = 0; i < 1000; ++i) {
    ASSERT_EQ(nodes[i].op, i);
    ASSERT_EQ(inputs_of(nodes[i]), some_inputs(i % 6, i)) << i;
  }
  Node grown{3, {}};
  const std::vector<std::uint32_t> inputs = some_inputs(40);
  for (std::size_t i = 0; i < inputs.size(); ++i) {
    grown.children.push_back(inputs[i]);
    ASSERT_EQ(inputs_of(grown), some_inputs(i + 1)) << i;
  }
  EXPECT_EQ(grown, stored(3, inputs));
}

// A list longer than its 32-bit count is refused before any id is read, as if memory had run out:
// the store turns that into MemoryError and keeps its nodes.
TEST(NodeTest, TooManyInputsAreRefusedAsAnAllocationFailure) {
  const std::uint32_t one = 0;
  const std::span<const std::uint32_t> too_long(&one, Children::kMaxSize + 1);
  EXPECT_THROW(static_cast<void>(Children(too_long)), std::bad_alloc);
}

TEST(NodeTest, IsMatchesTheExactOperatorAndInputList) {
  for (std::size_t count : {0, 1, 2, 3}) {
    SCOPED_TRACE(count);
    const std::vector<std::uint32_t> inputs = some_inputs(count);
    const Node node = stored(5, inputs);
    const std::vector<NodeId> wide(inputs.begin(), inputs.end());
    EXPECT_TRUE(node.is(5, std::span<const std::uint32_t>(inputs)));
    EXPECT_TRUE(node.is(5, std::span<const NodeId>(wide)));
    EXPECT_FALSE(node.is(6, std::span<const std::uint32_t>(inputs)));
    std::vector<std::uint32_t> longer = inputs;
    longer.push_back(0);
    EXPECT_FALSE(node.is(5, std::span<const std::uint32_t>(longer)));
    EXPECT_EQ(node_hash(5, std::span<const std::uint32_t>(inputs)),
              node_hash(5, std::span<const NodeId>(wide)));
    if (count <= 2) {  // the memo's unrolled form reads only `count` words: the rest are noise
      const std::uint32_t first = count > 0 ? inputs[0] : 77;
      const std::uint32_t second = count > 1 ? inputs[1] : 78;
      EXPECT_EQ(node_hash_of_two(5, static_cast<std::uint32_t>(count), first, second),
                node_hash(5, std::span<const std::uint32_t>(inputs)));
    }
    if (count == 0) continue;
    const std::vector<std::uint32_t> shorter(inputs.begin(), inputs.end() - 1);
    EXPECT_FALSE(node.is(5, std::span<const std::uint32_t>(shorter)));
    std::vector<std::uint32_t> changed = inputs;
    changed.back() ^= 1;
    EXPECT_FALSE(node.is(5, std::span<const std::uint32_t>(changed)));
  }
}

// The rules, the incremental reducer and every table agree on these ids.
TEST(FixedOperatorsTest, AreTheCommutativeOpsAndTheFourIdentitiesInIdOrder) {
  std::vector<std::string> tokens;
  for (const NodeKey& op : fixed_operators()) {
    EXPECT_EQ(op.kind(), NodeKind::Op);
    EXPECT_TRUE(op.inputs().empty());
    tokens.push_back(op.token());
  }
  EXPECT_EQ(
      tokens,
      (std::vector<std::string>{
          "op|add", "op|mul", "op|and", "op|or", "op|eq", "op|ne", "op|maximum", "op|minimum",
          "op|add|scalar=f0000000000000000;side=sr", "op|add|scalar=f0000000000000000;side=sl",
          "op|mul|scalar=f3ff0000000000000;side=sr", "op|mul|scalar=f3ff0000000000000;side=sl"}));
  for (OpId op = 0; op < kFixedOperatorCount + 2; ++op) {
    EXPECT_EQ(is_commutative_op(op), op < 8) << op;
    EXPECT_EQ(is_identity_op(op), op >= 8 && op < 12) << op;
  }
}

TEST(OperatorTableTest, StartsWithTheFixedOperatorsAndKeepsThemAtTheirIds) {
  OperatorTable table;
  const std::vector<NodeKey> fixed = fixed_operators();
  ASSERT_EQ(table.size(), kFixedOperatorCount);
  for (OpId op = 0; op < kFixedOperatorCount; ++op) EXPECT_EQ(table[op], fixed[op]);

  const auto intern = [&](const NodeKey& key) { return table.intern(key, operator_hash(key)); };
  EXPECT_EQ(intern(op("neg", {0})), kFixedOperatorCount);
  EXPECT_EQ(intern(op("add", {3, 4})), commutative_op("add"));
  EXPECT_EQ(intern(op("minimum", {0})), commutative_op("minimum"));
  EXPECT_EQ(intern(scalar_op("add", 0.0, "r", {1})), kFirstIdentityOp);
  EXPECT_EQ(intern(scalar_op("mul", 1.0, "l", {9})), kFirstIdentityOp + 3);
  // Near the fixed operators but not among them: -0.0, a reduction named add, add with params.
  EXPECT_EQ(intern(scalar_op("add", -0.0, "r", {1})), kFixedOperatorCount + 1);
  EXPECT_EQ(intern(NodeKey::reduction("add", {}, {0, 1})), kFixedOperatorCount + 2);
  EXPECT_EQ(intern(op("add", {0, 1}, params({{"k", ParamValue::of_int(1)}}))),
            kFixedOperatorCount + 3);
  EXPECT_EQ(table.size(), kFixedOperatorCount + 4);
  for (OpId op = 0; op < kFixedOperatorCount; ++op) EXPECT_EQ(table[op], fixed[op]);
}

TEST(OperatorTableTest, EqualOperatorsGetOneIdWhateverTheirInputsAndForm) {
  OperatorTable table;
  const auto intern = [&](const NodeKey& key) { return table.intern(key, operator_hash(key)); };
  const ParamMap kv = params({{"k", ParamValue::of_int(2)}, {"v", ParamValue::of_str("s")}});
  const ParamMap vk = params({{"v", ParamValue::of_str("s")}, {"k", ParamValue::of_int(2)}});
  const OpId first = intern(op("pad", {0}, kv));
  EXPECT_EQ(intern(op("pad", {5, 6, 7}, vk)), first);
  EXPECT_EQ(intern(op("pad", {}, kv)), first);
  const ParamView views[] = {ParamView::of_int("k", 2), ParamView::of_str("v", "s")};
  const NodeId inputs[] = {1, 2};
  const KeyView view{NodeKind::Op, "pad", views, inputs};
  EXPECT_EQ(table.intern(view, operator_hash(view)), first);
  EXPECT_EQ(operator_hash(view), operator_hash(op("pad", {}, kv)));

  const StageOp neg{"op|neg", {StageRef::input(0)}};
  const OpId negs = intern(stage({0}, {neg}));
  EXPECT_EQ(intern(stage({3}, {neg})), negs);
  const PayloadDescriptor descriptor{"onnx", "h", "torch", "2", "f32", std::nullopt};
  const OpId external = intern(NodeKey::external(descriptor, {}, {0}));
  EXPECT_EQ(intern(NodeKey::external(descriptor, {}, {4, 2})), external);
  EXPECT_EQ(table.size(), kFixedOperatorCount + 3);
  EXPECT_EQ(table[first], op("pad", {}, kv));
  EXPECT_TRUE(table[external].inputs().empty());
}

// Operators of different kinds, or whose tokens read alike, are different operators.
TEST(OperatorTableTest, OperatorsThatLookAlikeStayApart) {
  const std::vector<NodeKey> keys = {
      op("x", {}),
      NodeKey::source("op|x", {}),
      NodeKey::source("x", {}),
      NodeKey::reduction("x", {}, {}),
      NodeKey::reduction("op", {}, {}),
      NodeKey::exchange(params({{"op|", ParamValue::of_int(1)}}), {}),
      NodeKey::exchange({}, {}),
      NodeKey::join({}, {}),
      NodeKey::external({"op", "|", "", "", "", ""}, {}, {}),
      stage({}, {{"op|neg", {StageRef::member(0)}}}),
      stage({}, {{"op|neg;m0", {}}}),
      stage({}, {{"op|neg", {StageRef::input(0)}}}),
  };
  OperatorTable table;
  for (std::size_t i = 0; i < keys.size(); ++i) {
    EXPECT_EQ(table.intern(keys[i], operator_hash(keys[i])), kFixedOperatorCount + i) << i;
  }
  for (std::size_t i = 0; i < keys.size(); ++i) EXPECT_EQ(table[kFixedOperatorCount + i], keys[i]);
}

// Operators are only appended: a view keeps reading what it covers while the table grows past
// several chunks, and a later view covers the new ones too.
TEST(OperatorTableTest, AViewKeepsReadingWhileTheTableGrows) {
  OperatorTable table;
  const auto intern = [&](int i) {
    const NodeKey key = source(("s" + std::to_string(i)).c_str());
    return table.intern(key, operator_hash(key));
  };
  for (int i = 0; i < 100; ++i) ASSERT_EQ(intern(i), kFixedOperatorCount + i);
  const OperatorTable::View early = table.view();
  for (int i = 100; i < 3000; ++i) ASSERT_EQ(intern(i), kFixedOperatorCount + i);
  for (int i = 0; i < 3000; ++i) ASSERT_EQ(intern(i), kFixedOperatorCount + i) << "found again";
  ASSERT_EQ(early.size(), kFixedOperatorCount + 100);
  const OperatorTable::View late = table.view();
  ASSERT_EQ(late.size(), kFixedOperatorCount + 3000);
  for (int i = 0; i < 3000; ++i) {
    const std::string name = "s" + std::to_string(i);
    if (i < 100) {
      ASSERT_EQ(early[kFixedOperatorCount + i].name(), name);
    }
    ASSERT_EQ(late[kFixedOperatorCount + i].name(), name);
  }
}

// `likely` answers from the hash bits the index keeps, without comparing operators. Two Op
// operators without params that it confuses once both are in a table, `first` interned first:
// found by interning names until one is confused, since the hash is seeded per process (about
// 10^5 names).
struct LookAlikes {
  NodeKey first;
  NodeKey second;
};
LookAlikes look_alikes() {
  OperatorTable table;
  for (int i = 0;; ++i) {
    const NodeKey key = op(("n" + std::to_string(i)).c_str(), {});
    const std::uint64_t hash = operator_hash(key);
    const OpId id = table.intern(key, hash);
    const std::optional<OpId> likely = table.likely(hash);
    if (likely != id) return {table[*likely], key};
  }
}

// A store trusts the guess only once the operators compare equal: look-alike operators over the
// same inputs are two nodes, each found again, through a view and a key alike.
TEST(GraphStoreTest, LookAlikeOperatorsStayTwoNodes) {
  const auto [first, second] = look_alikes();
  GraphStore store;
  const NodeId x = *store.intern(source("x"));
  const auto with_input = [](const NodeKey& key, NodeId input) { return key.with_inputs({input}); };
  const NodeId a = *store.intern(with_input(first, x));
  const NodeId b = *store.intern(with_input(second, x));
  EXPECT_NE(a, b);
  const NodeId inputs[] = {x};
  const KeyView view{NodeKind::Op, second.name(), {}, inputs};
  EXPECT_EQ(store.intern(view), b);
  EXPECT_EQ(store.intern(with_input(first, x)), a);
  EXPECT_EQ(store.intern(with_input(second, x)), b);
  EXPECT_EQ(store.node_count(), 3u);
  const Snapshot snapshot = store.snapshot();
  EXPECT_EQ(snapshot.nodes[a].name(), first.name());
  EXPECT_EQ(snapshot.nodes[b].name(), second.name());
}

// Nodes with more than two inputs keep them in a block of their own in the store, the reducer's
// canonical form and the reduced graph; the wide add does not commute, and its reversal stays
// apart.
TEST(WideNodeTest, NodesWithManyInputsSurviveEveryReduction) {
  GraphStore store;
  const std::vector<NodeKey> nodes = {source("x"),
                                      source("y"),
                                      source("z"),
                                      op("f", {0, 1, 2}),
                                      op("add", {0, 1, 2}),
                                      op("add", {2, 1, 0}),
                                      NodeKey::join({}, {3, 4, 5}),
                                      NodeKey::reduction("sum", {}, {0, 1, 2, 6, 3})};
  for (const NodeKey& node : nodes) ASSERT_TRUE(store.intern(node).has_value());
  ASSERT_TRUE(store.mark_output(7).has_value());
  EXPECT_EQ(store.snapshot().nodes, nodes);
  for (NodeId id = 0; id < nodes.size(); ++id) EXPECT_EQ(store.node(id)->node().key(), nodes[id]);

  const SaturationEngine engine;
  // A stage lists its inputs in the order its members first read them.
  const StageRefs three = {StageRef::input(0), StageRef::input(1), StageRef::input(2)};
  const std::vector<NodeKey> expected = {source("x"),
                                         source("y"),
                                         source("z"),
                                         stage({0, 1, 2}, {{"op|f", three}}),
                                         stage({0, 1, 2}, {{"op|add", three}}),
                                         stage({2, 1, 0}, {{"op|add", three}}),
                                         NodeKey::join({}, {3, 4, 5}),
                                         NodeKey::reduction("sum", {}, {0, 1, 2, 6, 3})};
  const auto [reduced, report] = reduce_with(store, engine, false);
  EXPECT_EQ(reduced->snapshot().nodes, expected);
  EXPECT_EQ(reduced->outputs(), std::vector<NodeId>{7});
  EXPECT_EQ(report.canonical_nodes, nodes.size());

  SharedReducer reducer;
  const std::vector<NodeId> outputs = {7};
  auto finalized = reducer.finalize(store, outputs, engine, false);
  ASSERT_TRUE(finalized.has_value());
  EXPECT_EQ(finalized->first->snapshot().nodes, expected);

  auto copy = deserialize(*serialize_with(*reduced, reduced->outputs()));
  ASSERT_TRUE(copy.has_value());
  EXPECT_EQ((*copy)->snapshot().nodes, expected);
  auto kept = cone(store, outputs);
  ASSERT_TRUE(kept.has_value());
  EXPECT_EQ((*kept)->snapshot().nodes, nodes);
}

}  // namespace
}  // namespace tarnvel

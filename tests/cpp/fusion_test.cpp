#include "optimizer/fusion.hpp"

#include <vector>

#include "gtest/gtest.h"
#include "node_builders.hpp"
#include "optimizer/pipeline.hpp"
#include "support/fault.hpp"

namespace tarnvel {
namespace {

// Indices are canonical indices; node 0 is the source S.
const NodeKey kS = NodeKey::source("S", {});
StageRef in(std::uint64_t i) { return StageRef::input(i); }
StageRef mem(std::uint64_t i) { return StageRef::member(i); }

// A fusion result, with its nodes as keys (read while the operators they name were alive).
struct Fused {
  FusionResult result;
  std::vector<NodeKey> nodes;
};

// Fuses the distinct `keys` as they stand, without rewriting: each key is its own canonical node.
Fused fuse(const std::vector<NodeKey>& keys, std::vector<NodeId> outputs, bool maximal) {
  const auto store = store_of(keys);
  const NodesView view = store->nodes_view();
  EXPECT_EQ(view.size(), keys.size()) << "the keys are distinct";
  Fused fused{stage_fusion(to_engine_graph(view, outputs), maximal, view.ops()), {}};
  Reduced reduced;
  reduced.ops = view.ops();
  reduced.stage_ops = fused.result.stage_ops;
  reduced.nodes = fused.result.nodes;
  fused.nodes = reduced.keys();
  return fused;
}

void expect_under_both_rules(const std::vector<NodeKey>& keys, std::vector<NodeId> outputs,
                             const std::vector<NodeKey>& expected) {
  for (bool maximal : {false, true}) {
    SCOPED_TRACE(maximal ? "maximal" : "single-use");
    EXPECT_EQ(fuse(keys, outputs, maximal).nodes, expected);
  }
}

TEST(FusionTest, SingleOpBecomesOneMemberStage) {
  const Fused fused = fuse({kS, op("neg", {0})}, {1}, false);
  const FusionResult& result = fused.result;
  EXPECT_EQ(fused.nodes, (std::vector<NodeKey>{kS, stage({0}, {{"op|neg", {in(0)}}})}));
  EXPECT_EQ(result.outputs, (std::vector<NodeId>{1}));
  EXPECT_EQ(result.placement, (std::vector<NodeMapEntry>{Landing{0, std::nullopt}, Landing{1, 0}}));
  EXPECT_EQ(result.stages, 1u);
  EXPECT_EQ(result.boundary_nodes, 1u);
}

TEST(FusionTest, StagesOfOneShapeShareTheirOperator) {
  // Three chains: two of the shape neg then exp over different sources, one exp then neg.
  const Fused fused = fuse({kS, source("T"), op("neg", {0}), op("exp", {2}), op("neg", {1}),
                            op("exp", {4}), op("exp", {0}), op("neg", {6})},
                           {3, 5, 7}, false);
  EXPECT_EQ(fused.result.stages, 3u);
  ASSERT_EQ(fused.result.stage_ops.size(), 2u);
  EXPECT_EQ(fused.result.nodes[2].op, fused.result.nodes[3].op);
  EXPECT_NE(fused.result.nodes[3].op, fused.result.nodes[4].op);
  const NodeKey shared = stage({}, {{"op|neg", {in(0)}}, {"op|exp", {mem(0)}}});
  EXPECT_EQ(fused.nodes[2], shared.with_inputs({0}));
  EXPECT_EQ(fused.nodes[3], shared.with_inputs({1}));
}

TEST(FusionTest, ChainFusesIntoOneStage) {
  expect_under_both_rules(
      {kS, op("neg", {0}), op("exp", {1}), op("abs", {2})}, {3},
      {kS, stage({0}, {{"op|neg", {in(0)}}, {"op|exp", {mem(0)}}, {"op|abs", {mem(1)}}})});
}

TEST(FusionTest, FanOutSplitsUnderSingleUseAndJoinsUnderMaximal) {
  const std::vector<NodeKey> keys = {kS, op("neg", {0}), op("exp", {1}), op("abs", {1}),
                                     op("add", {2, 3})};
  const Fused single = fuse(keys, {4}, false);
  EXPECT_EQ(
      single.nodes,
      (std::vector<NodeKey>{
          kS, stage({0}, {{"op|neg", {in(0)}}}),
          stage({1}, {{"op|exp", {in(0)}}, {"op|abs", {in(0)}}, {"op|add", {mem(0), mem(1)}}})}));
  EXPECT_EQ(single.result.placement[3], (Landing{2, 1}));

  const Fused maximal = fuse(keys, {4}, true);
  EXPECT_EQ(maximal.nodes, (std::vector<NodeKey>{kS, stage({0}, {{"op|neg", {in(0)}},
                                                                 {"op|exp", {mem(0)}},
                                                                 {"op|abs", {mem(0)}},
                                                                 {"op|add", {mem(1), mem(2)}}})}));
  EXPECT_EQ(maximal.result.placement[4], (Landing{1, 3}));
}

TEST(FusionTest, TwoUsesByOneConsumerCountAsTwo) {
  const std::vector<NodeKey> keys = {kS, op("neg", {0}), op("mul", {1, 1})};
  EXPECT_EQ(fuse(keys, {2}, false).nodes,
            (std::vector<NodeKey>{kS, stage({0}, {{"op|neg", {in(0)}}}),
                                  stage({1}, {{"op|mul", {in(0), in(0)}}})}));
  EXPECT_EQ(
      fuse(keys, {2}, true).nodes,
      (std::vector<NodeKey>{kS, stage({0}, {{"op|neg", {in(0)}}, {"op|mul", {mem(0), mem(0)}}})}));
}

TEST(FusionTest, OpaqueConsumersAndOutputsEndAStage) {
  const NodeKey sum = NodeKey::reduction("sum", {}, {1});
  expect_under_both_rules({kS, op("neg", {0}), sum}, {2},
                          {kS, stage({0}, {{"op|neg", {in(0)}}}), sum});
  expect_under_both_rules(
      {kS, op("neg", {0}), op("exp", {1})}, {2, 1},
      {kS, stage({0}, {{"op|neg", {in(0)}}}), stage({1}, {{"op|exp", {in(0)}}})});

  // Opaque is the operator's kind, asked of the table: every kind but Op, a Reduction named as an
  // Op and a Stage among them, stays a boundary node between one-member stages.
  const NodeKey reduction = NodeKey::reduction("add", {}, {1, 0});
  const NodeKey exchange = NodeKey::exchange({}, {2});
  const NodeKey join = NodeKey::join({}, {2, 3});
  const NodeKey external =
      NodeKey::external({"onnx", "h", "torch", "2", "f32", std::nullopt}, {}, {4});
  const NodeKey fused = stage({5}, {{"op|neg", {in(0)}}});
  expect_under_both_rules(
      {kS, op("add", {0, 0}), reduction, exchange, join, external, fused, op("neg", {6})}, {7},
      {kS, stage({0}, {{"op|add", {in(0), in(0)}}}), reduction, exchange, join, external, fused,
       stage({6}, {{"op|neg", {in(0)}}})});
}

TEST(FusionTest, MembersReadingOneGroupShareAnInput) {
  expect_under_both_rules({kS, op("neg", {0}), op("add", {1, 0})}, {2},
                          {kS, stage({0}, {{"op|neg", {in(0)}}, {"op|add", {mem(0), in(0)}}})});
}

TEST(FusionTest, GroupsAreEmittedByLargestMember) {
  // Single-use groups {2, 3} and {1, 4, 5}: the second has the smaller id but reads the first.
  const std::vector<NodeKey> keys = {
      kS, op("neg", {0}), op("exp", {0}), op("abs", {2}), op("add", {1, 3}), op("mul", {4, 3})};
  const Fused result = fuse(keys, {5}, false);
  EXPECT_EQ(result.nodes,
            (std::vector<NodeKey>{kS, stage({0}, {{"op|exp", {in(0)}}, {"op|abs", {mem(0)}}}),
                                  stage({0, 1}, {{"op|neg", {in(0)}},
                                                 {"op|add", {mem(0), in(1)}},
                                                 {"op|mul", {mem(1), in(1)}}})}));
  EXPECT_EQ(result.result.outputs, (std::vector<NodeId>{2}));
}

// Every node's operator is read in the table, alone or after an Op.
TEST(FusionTest, AnOperatorOutsideTheTableIsAFault) {
  const OperatorTable table;
  const OpId ghost = static_cast<OpId>(table.size());
  const EngineGraph alone{{engine_node(ghost)}, {0}};
  const EngineGraph after_an_op{{engine_node(commutative_op("add")), engine_node(ghost, {0})}, {1}};
  for (const EngineGraph& graph : {alone, after_an_op}) {
    try {
      stage_fusion(graph, false, table.view());
      ADD_FAILURE() << "expected an InternalFault";
    } catch (const InternalFault& fault) {
      EXPECT_STREQ(fault.what(), "index out of range: operator id 12 is not below 12");
    }
  }
}

}  // namespace
}  // namespace tarnvel

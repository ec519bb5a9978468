#include "optimizer/pipeline.hpp"

#include <vector>

#include "gtest/gtest.h"
#include "node_builders.hpp"
#include "optimizer/engine_symbol.hpp"
#include "optimizer/saturation_engine.hpp"
#include "support/fault.hpp"

namespace tarnvel {
namespace {

// Merges each node into a given earlier representative and reads the classes back out as the
// rewrite engine does: each class as its earliest node, children redirected to their classes.
class MergeEngine final : public RewriteEngine {
 public:
  explicit MergeEngine(std::vector<std::size_t> representative = {})
      : representative_(std::move(representative)) {}
  CanonicalGraph canonicalize(const EngineGraph& graph) const override {
    CanonicalGraph out;
    for (std::size_t i = 0; i < graph.nodes.size(); ++i) {
      const std::size_t r = i < representative_.size() ? representative_[i] : i;
      if (r != i) {
        out.node_map.push_back(out.node_map[r]);
        continue;
      }
      EngineNode node{graph.nodes[i].op, {}, !graph.nodes[i].op.view().starts_with("op|")};
      for (std::size_t c : graph.nodes[i].children) node.children.push_back(out.node_map[c]);
      out.node_map.push_back(out.graph.nodes.size());
      out.graph.nodes.push_back(std::move(node));
    }
    for (std::size_t output : graph.outputs) out.graph.outputs.push_back(out.node_map[output]);
    return out;
  }

 private:
  std::vector<std::size_t> representative_;
};
const MergeEngine kIdentityEngine;

NodeKey times_one(NodeId x) { return scalar_op("mul", 1.0, "r", {x}); }
NodeKey stage(NodeInputs inputs, const char* token, StageRefs refs) {
  return tarnvel::stage(std::move(inputs), {StageOp{token, std::move(refs)}});
}
const Landing kAt0{0, std::nullopt};

std::unique_ptr<GraphStore> store_of(const std::vector<NodeKey>& nodes,
                                     const std::vector<NodeId>& marks) {
  auto store = std::make_unique<GraphStore>();
  for (const NodeKey& node : nodes) EXPECT_TRUE(store->intern(node).has_value());
  for (NodeId id : marks) EXPECT_TRUE(store->mark_output(id).has_value());
  return store;
}
std::vector<NodeKey> nodes_of(const GraphStore& store) { return store.snapshot().nodes; }

void expect_fault(Reduced record, const char* message) {
  try {
    from_reduced(std::move(record));
    ADD_FAILURE() << "expected InternalFault " << message;
  } catch (const InternalFault& fault) {
    EXPECT_STREQ(fault.what(), message);
  }
}

TEST(PipelineTest, SourceFeedingOneOutputOp) {
  const std::vector<NodeKey> nodes = {source("x"), op("neg", {0})};
  const Reduced reduced = reduce_with_mode(nodes, std::vector<NodeId>{1}, kIdentityEngine, false);
  EXPECT_EQ(reduced.nodes,
            (std::vector<NodeKey>{source("x"), stage({0}, "op|neg", {StageRef::input(0)})}));
  EXPECT_EQ(reduced.outputs, (std::vector<NodeId>{1}));
  EXPECT_EQ(reduced.node_map, (std::vector<NodeMapEntry>{kAt0, Landing{1, 0}}));
  EXPECT_EQ(reduced.report(), (ReductionReport{2, 2, 2, 1, 2, 1}));
}

TEST(PipelineTest, OutputMergedIntoItsInputLandsThere) {
  const std::vector<NodeKey> nodes = {source("x"), times_one(0)};
  const Reduced reduced =
      reduce_with_mode(nodes, std::vector<NodeId>{1}, MergeEngine({0, 0}), false);
  EXPECT_EQ(reduced.nodes, (std::vector<NodeKey>{source("x")}));
  EXPECT_EQ(reduced.outputs, (std::vector<NodeId>{0}));
  EXPECT_EQ(reduced.node_map, (std::vector<NodeMapEntry>{kAt0, kAt0}));
  EXPECT_EQ(reduced.report(), (ReductionReport{2, 2, 1, 0, 1, 1}));
}

// An engine that does not promise a duplicate-free graph still gets its duplicates merged: y joins
// x, so neg(x) and neg(y) come out equal, and so do their sums.
TEST(PipelineTest, DuplicatesLeftByTheEngineAreMerged) {
  const std::vector<NodeKey> nodes = {source("x"),    source("y"),       op("neg", {0}),
                                      op("neg", {1}), op("add", {2, 3}), op("add", {3, 2})};
  const Reduced reduced =
      reduce_with_mode(nodes, std::vector<NodeId>{4, 5}, MergeEngine({0, 0}), false);
  EXPECT_EQ(reduced.canonical_nodes, 3u);  // x, neg, add
  EXPECT_EQ(reduced.node_map[2], reduced.node_map[3]);
  EXPECT_EQ(reduced.node_map[4], reduced.node_map[5]);
  EXPECT_EQ(reduced.outputs[0], reduced.outputs[1]);
}

TEST(PipelineTest, EmptyOutputsAndEmptyStores) {
  const std::vector<NodeKey> nodes = {source("x"), op("neg", {0})};
  const Reduced none = reduce_with_mode(nodes, {}, kIdentityEngine, false);
  EXPECT_TRUE(none.nodes.empty());
  EXPECT_EQ(none.node_map, std::vector<NodeMapEntry>(2));
  EXPECT_EQ(none.report(), (ReductionReport{2, 0, 0, 0, 0, 0}));

  auto [store, report] = reduce_with(GraphStore(), kIdentityEngine, false);
  EXPECT_EQ(report, ReductionReport{});
  EXPECT_EQ(store->node_count(), 0u);
  EXPECT_TRUE(store->node_map().empty());
}

TEST(PipelineTest, ExplicitOutputsKeepDuplicatesAndAreMarkedOnce) {
  const auto store = store_of({source("x"), source("dead"), op("neg", {0}), op("exp", {0})}, {3});
  const std::vector<NodeId> outputs = {2, 3, 2};
  const Reduced reduced = reduce_with_mode(nodes_of(*store), outputs, kIdentityEngine, false);
  EXPECT_EQ(reduced.outputs, (std::vector<NodeId>{1, 2, 1}));
  EXPECT_EQ(reduced.node_map[1], std::nullopt);

  auto built = reduce_with_outputs(*store, outputs, kIdentityEngine, false);
  ASSERT_TRUE(built.has_value());
  EXPECT_EQ(built->first->outputs(), (std::vector<NodeId>{1, 2}));
  EXPECT_EQ(built->second, reduced.report());
  // Without explicit outputs the marks decide: only node 3 and its input are reachable.
  EXPECT_EQ(reduce_with(*store, kIdentityEngine, false).second.reachable_nodes, 2u);
  const std::vector<NodeId> bad = {0, 4, 5};
  EXPECT_EQ(reduce_with_outputs(*store, bad, kIdentityEngine, false).error(), BadNodeId{4});
}

TEST(PipelineTest, MaximalFusionChangesOnlyTheGrouping) {
  const auto store = store_of(
      {source("x"), op("neg", {0}), op("exp", {1}), op("abs", {1}), op("add", {2, 3})}, {4});
  EXPECT_EQ(reduce_with(*store, kIdentityEngine, false).second,
            (ReductionReport{5, 5, 5, 2, 3, 1}));
  EXPECT_EQ(reduce_with(*store, kIdentityEngine, true).second, (ReductionReport{5, 5, 5, 1, 2, 1}));
}

TEST(PipelineTest, ConeKeepsTheNeededNodesWithoutRewriting) {
  const auto store = store_of({source("x"), source("y"), times_one(0), op("exp", {1})}, {3});
  auto kept = cone(*store, std::vector<NodeId>{2, 2});
  ASSERT_TRUE(kept.has_value());
  EXPECT_EQ(nodes_of(**kept), (std::vector<NodeKey>{source("x"), times_one(0)}));
  EXPECT_EQ((*kept)->outputs(), (std::vector<NodeId>{1}));
  const Landing at1{1, std::nullopt};
  EXPECT_EQ((*kept)->node_map(),
            (std::vector<NodeMapEntry>{kAt0, std::nullopt, at1, std::nullopt}));

  auto nothing = cone(*store, {});
  ASSERT_TRUE(nothing.has_value());
  EXPECT_EQ((*nothing)->node_count(), 0u);
  EXPECT_EQ((*nothing)->node_map(), std::vector<NodeMapEntry>(4));
  EXPECT_EQ(cone(*store, std::vector<NodeId>{4}).error(), BadNodeId{4});
}

TEST(PipelineTest, FromReducedSharesIdsWithAnEqualStageAlreadyInTheInput) {
  // Fusing the neg builds exactly the Stage recorded at 1: the store keeps one of the two.
  const NodeKey negs = stage({0}, "op|neg", {StageRef::input(0)});
  const auto store = store_of({source("x"), negs, op("neg", {0})}, {2, 1});
  auto [reduced, report] = reduce_with(*store, kIdentityEngine, false);
  EXPECT_EQ(report.reduced_nodes, 3u);
  EXPECT_EQ(nodes_of(*reduced), (std::vector<NodeKey>{source("x"), negs}));
  EXPECT_EQ(reduced->outputs(), (std::vector<NodeId>{1}));
  EXPECT_EQ(reduced->node_map(),
            (std::vector<NodeMapEntry>{kAt0, Landing{1, std::nullopt}, Landing{1, 0}}));
}

TEST(PipelineTest, FromReducedRejectsMalformedRecords) {
  Reduced forward;
  forward.nodes = {op("neg", {1}), source("x")};
  expect_fault(std::move(forward), "reduced graph references only earlier nodes");
  Reduced bad_output;
  bad_output.nodes = {source("x")};
  bad_output.outputs = {1};
  expect_fault(std::move(bad_output), "reduced output is valid");
}

TEST(PipelineTest, ReducingAReducedStoreAgainKeepsItsNodes) {
  const auto store = store_of({source("x"), op("neg", {0}), op("exp", {1}), op("abs", {1}),
                               op("add", {2, 3}), NodeKey::reduction("sum", {}, {4})},
                              {5, 2});
  for (bool maximal : {false, true}) {
    auto once = reduce_with(*store, kIdentityEngine, maximal).first;
    auto twice = reduce_with(*once, kIdentityEngine, maximal).first;
    EXPECT_EQ(nodes_of(*twice), nodes_of(*once));
    EXPECT_EQ(twice->outputs(), once->outputs());
  }
}

// Stages and Externals are the kinds whose tokens do not tell all of their fields apart.
TEST(PipelineTest, OpaqueNodesWithEqualTokensStayApart) {
  const PayloadDescriptor base{"onnx", "h", "torch", "2", "f32", std::nullopt};
  PayloadDescriptor dash = base, bar_left = base, bar_right = base;
  dash.preprocessing_ref = "-";
  bar_left.framework = "torch|2";
  bar_left.version = "";
  bar_right.version = "2|";
  const std::vector<NodeKey> nodes = {source("x"),
                                      stage({0}, "op|neg", {StageRef::input(0)}),
                                      stage({0}, "op|abs", {StageRef::input(0)}),
                                      NodeKey::external(base, {}, {0}),
                                      NodeKey::external(dash, {}, {0}),
                                      NodeKey::external(bar_left, {}, {0}),
                                      NodeKey::external(bar_right, {}, {0})};
  for (std::size_t i : {1, 3, 5}) ASSERT_EQ(nodes[i].token(), nodes[i + 1].token());

  const auto store = store_of(nodes, {1, 2, 3, 4, 5, 6});
  const SaturationEngine saturation;
  for (const RewriteEngine* engine : {static_cast<const RewriteEngine*>(&kIdentityEngine),
                                      static_cast<const RewriteEngine*>(&saturation)}) {
    auto once = reduce_with(*store, *engine, false).first;
    EXPECT_EQ(nodes_of(*once), nodes);
    EXPECT_EQ(nodes_of(*reduce_with(*once, *engine, false).first), nodes);
  }
}

TEST(PipelineTest, EngineSymbolsAreOpTokensOrOutsideTheirNamespace) {
  const std::vector<NodeKey> keys = {
      times_one(0),
      NodeKey::source("op|x", {}),
      NodeKey::reduction("op", {}, {}),
      NodeKey::exchange(ParamMap({Param{"op|", ParamValue::of_int(1)}}), {}),
      NodeKey::join({}, {}),
      NodeKey::external({"op", "|", "", "", "", ""}, {}, {}),
      stage({}, "op|neg", {StageRef::member(0)}),
      stage({}, "op|neg;m0", {}),
  };
  EXPECT_EQ(engine_symbol(keys[0]), keys[0].token());
  for (std::size_t i = 1; i < keys.size(); ++i) {
    EXPECT_FALSE(engine_symbol(keys[i]).starts_with("op|")) << engine_symbol(keys[i]);
    for (std::size_t j = 0; j < i; ++j) EXPECT_NE(engine_symbol(keys[i]), engine_symbol(keys[j]));
  }
}

TEST(PipelineTest, SaturationEngineMergesCommutedAndIdentityNodes) {
  const std::vector<NodeKey> nodes = {source("x"),       source("y"),  op("add", {0, 1}),
                                      op("add", {1, 0}), times_one(2), op("mul", {3, 4})};
  const Reduced reduced =
      reduce_with_mode(nodes, std::vector<NodeId>{5, 4}, SaturationEngine(), false);
  EXPECT_EQ(reduced.nodes,
            (std::vector<NodeKey>{source("x"), source("y"),
                                  stage({0, 1}, "op|add", {StageRef::input(0), StageRef::input(1)}),
                                  stage({2}, "op|mul", {StageRef::input(0), StageRef::input(0)})}));
  EXPECT_EQ(reduced.outputs, (std::vector<NodeId>{3, 2}));
  EXPECT_EQ(reduced.report(), (ReductionReport{6, 6, 4, 2, 4, 2}));
  EXPECT_EQ(reduced.node_map[3], (Landing{2, 0}));
  EXPECT_EQ(reduced.node_map[4], (Landing{2, 0}));
}

}  // namespace
}  // namespace tarnvel

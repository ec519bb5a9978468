#include "optimizer/pipeline.hpp"

#include <vector>

#include "gtest/gtest.h"
#include "node_builders.hpp"
#include "optimizer/incremental.hpp"
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
      Node node{graph.nodes[i].op, {}};
      for (std::uint32_t c : graph.nodes[i].children) {
        node.children.push_back(static_cast<std::uint32_t>(out.node_map[c]));
      }
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
  auto store = tarnvel::store_of(nodes);
  for (NodeId id : marks) EXPECT_TRUE(store->mark_output(id).has_value());
  return store;
}
std::vector<NodeKey> nodes_of(const GraphStore& store) { return store.snapshot().nodes; }

// The distinct `nodes` recorded in a fresh store, and their reduction, which reads the store's
// operators.
struct StoreAndReduced {
  std::unique_ptr<GraphStore> store;
  Reduced reduced;
};
StoreAndReduced record_and_reduce(const std::vector<NodeKey>& nodes,
                                  const std::vector<NodeId>& outputs, const RewriteEngine& engine) {
  auto store = tarnvel::store_of(nodes);
  EXPECT_EQ(store->node_count(), nodes.size()) << "the keys are distinct";
  Reduced reduced = reduce_with_mode(store->nodes_view(), outputs, engine, false);
  return {std::move(store), std::move(reduced)};
}

void expect_fault(Reduced record, const std::string& message) {
  try {
    from_reduced(std::move(record));
    ADD_FAILURE() << "expected InternalFault " << message;
  } catch (const InternalFault& fault) {
    EXPECT_EQ(std::string(fault.what()), message);
  }
}

TEST(PipelineTest, SourceFeedingOneOutputOp) {
  const auto [store, reduced] =
      record_and_reduce({source("x"), op("neg", {0})}, {1}, kIdentityEngine);
  EXPECT_EQ(reduced.keys(),
            (std::vector<NodeKey>{source("x"), stage({0}, "op|neg", {StageRef::input(0)})}));
  EXPECT_EQ(reduced.outputs, (std::vector<NodeId>{1}));
  EXPECT_EQ(reduced.node_map, (std::vector<NodeMapEntry>{kAt0, Landing{1, 0}}));
  EXPECT_EQ(reduced.report, (ReductionReport{2, 2, 2, 1, 2, 1}));
}

TEST(PipelineTest, OutputMergedIntoItsInputLandsThere) {
  const auto [store, reduced] =
      record_and_reduce({source("x"), times_one(0)}, {1}, MergeEngine({0, 0}));
  EXPECT_EQ(reduced.keys(), (std::vector<NodeKey>{source("x")}));
  EXPECT_EQ(reduced.outputs, (std::vector<NodeId>{0}));
  EXPECT_EQ(reduced.node_map, (std::vector<NodeMapEntry>{kAt0, kAt0}));
  EXPECT_EQ(reduced.report, (ReductionReport{2, 2, 1, 0, 1, 1}));
}

// An engine that does not promise a duplicate-free graph still gets its duplicates merged: y joins
// x, so neg(x) and neg(y) come out equal, and so do their sums.
TEST(PipelineTest, DuplicatesLeftByTheEngineAreMerged) {
  const std::vector<NodeKey> nodes = {source("x"),    source("y"),       op("neg", {0}),
                                      op("neg", {1}), op("add", {2, 3}), op("add", {3, 2})};
  const auto [store, reduced] = record_and_reduce(nodes, {4, 5}, MergeEngine({0, 0}));
  EXPECT_EQ(reduced.report.canonical_nodes, 3u);  // x, neg, add
  EXPECT_EQ(reduced.node_map[2], reduced.node_map[3]);
  EXPECT_EQ(reduced.node_map[4], reduced.node_map[5]);
  EXPECT_EQ(reduced.outputs[0], reduced.outputs[1]);
}

TEST(PipelineTest, EmptyOutputsAndEmptyStores) {
  const auto [recorded, none] =
      record_and_reduce({source("x"), op("neg", {0})}, {}, kIdentityEngine);
  EXPECT_TRUE(none.nodes.empty());
  EXPECT_EQ(none.node_map, std::vector<NodeMapEntry>(2));
  EXPECT_EQ(none.report, (ReductionReport{2, 0, 0, 0, 0, 0}));

  auto [store, report] = reduce_with(GraphStore(), kIdentityEngine, false);
  EXPECT_EQ(report, ReductionReport{});
  EXPECT_EQ(store->node_count(), 0u);
  EXPECT_TRUE(store->node_map().empty());
}

TEST(PipelineTest, ExplicitOutputsKeepDuplicatesAndAreMarkedOnce) {
  const auto store = store_of({source("x"), source("dead"), op("neg", {0}), op("exp", {0})}, {3});
  const std::vector<NodeId> outputs = {2, 3, 2};
  const Reduced reduced = reduce_with_mode(store->nodes_view(), outputs, kIdentityEngine, false);
  EXPECT_EQ(reduced.outputs, (std::vector<NodeId>{1, 2, 1}));
  EXPECT_EQ(reduced.node_map[1], std::nullopt);

  auto built = reduce_with_outputs(*store, outputs, kIdentityEngine, false);
  ASSERT_TRUE(built.has_value());
  EXPECT_EQ(built->first->outputs(), (std::vector<NodeId>{1, 2}));
  EXPECT_EQ(built->second, reduced.report);
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

// A reduced store has a table of its own, in which the operators that survive take other ids
// than in the store reduced: every node must still name its own operator.
TEST(PipelineTest, AReducedStoreNamesItsOperatorsInItsOwnTable) {
  const auto store =
      store_of({source("dead0"), source("dead1"), op("exp", {0}), source("x"), op("neg", {3}),
                NodeKey::reduction("sum", {}, {4}), op("abs", {5}), op("neg", {1})},
               {6});
  const std::vector<NodeKey> expected = {source("x"), stage({0}, "op|neg", {StageRef::input(0)}),
                                         NodeKey::reduction("sum", {}, {1}),
                                         stage({2}, "op|abs", {StageRef::input(0)})};
  const SaturationEngine engine;
  auto once = reduce_with(*store, engine, false).first;
  EXPECT_EQ(nodes_of(*once), expected);
  EXPECT_EQ(nodes_of(*reduce_with(*once, engine, false).first), expected);
  SharedReducer reducer;
  auto finalized = reducer.finalize(*store, store->outputs(), engine, false);
  ASSERT_TRUE(finalized.has_value());
  EXPECT_EQ(nodes_of(*finalized->first), expected);
  auto kept = cone(*store, store->outputs());
  ASSERT_TRUE(kept.has_value());
  EXPECT_EQ(nodes_of(**kept),
            (std::vector<NodeKey>{source("x"), op("neg", {0}), NodeKey::reduction("sum", {}, {1}),
                                  op("abs", {2})}));
}

TEST(PipelineTest, FromReducedRejectsMalformedRecords) {
  const auto store = tarnvel::store_of({source("x"), op("neg", {0})});
  const NodesView view = store->nodes_view();
  const OpId x = view[0].op_id(), neg = view[1].op_id();
  Reduced forward;
  forward.ops = view.ops();
  forward.nodes = {Node{neg, {1}}, Node{x, {}}};
  expect_fault(std::move(forward), "reduced graph references only earlier nodes");
  Reduced bad_output;
  bad_output.ops = view.ops();
  bad_output.nodes = {Node{x, {}}};
  bad_output.outputs = {1};
  expect_fault(std::move(bad_output), "reduced output is valid");
  // Ids from the table's size on name stage operators: past them, an id names nothing.
  const auto first_stage = static_cast<OpId>(view.ops().size());
  Reduced unknown_operator;
  unknown_operator.ops = view.ops();
  unknown_operator.nodes = {Node{first_stage, {}}};
  expect_fault(std::move(unknown_operator),
               "index out of range: stage operator of a reduced node 0 is not below 0");
  Reduced unknown_stage;
  unknown_stage.ops = view.ops();
  const NodeKey one_stage = stage({}, "op|neg", {StageRef::input(0)});
  unknown_stage.stage_ops.emplace_back(one_stage);
  unknown_stage.nodes = {Node{x, {}}, Node{first_stage, {0}}, Node{first_stage + 1, {0}}};
  expect_fault(std::move(unknown_stage),
               "index out of range: stage operator of a reduced node 1 is not below 1");
  // A member names an operator of the table by id.
  Reduced unknown_member;
  unknown_member.ops = view.ops();
  std::vector<StageOp> by_id = {StageOp{first_stage, {StageRef::input(0)}}};
  unknown_member.stage_ops.emplace_back(NodeKey::stage(NodeInputs(), std::move(by_id)));
  unknown_member.nodes = {Node{x, {}}, Node{first_stage, {0}}};
  const std::string size = std::to_string(first_stage);
  expect_fault(std::move(unknown_member),
               "index out of range: operator id " + size + " is not below " + size);
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

// The engine sees each node as the store holds it: its operator id and its inputs.
TEST(PipelineTest, EngineNodesAreTheStoredNodes) {
  const auto store = tarnvel::store_of({
      source("x"),
      times_one(0),
      op("add", {1, 0}),
      NodeKey::reduction("add", {}, {2, 0}),
      NodeKey::exchange({}, {3}),
      NodeKey::join({}, {3, 4}),
      NodeKey::external({"onnx", "h", "torch", "2", "f32", std::nullopt}, {}, {5}),
      stage({6}, "op|neg", {StageRef::input(0)}),
      op("neg", {7}),
  });
  const NodesView view = store->nodes_view();
  const EngineGraph graph = to_engine_graph(view, std::vector<NodeId>{8, 8});
  ASSERT_EQ(graph.nodes.size(), view.size());
  EXPECT_EQ(graph.nodes[1].op, kFirstIdentityOp + 2);
  EXPECT_EQ(graph.nodes[2].op, commutative_op("add"));
  EXPECT_NE(graph.nodes[3].op, commutative_op("add"));
  for (NodeId id = 0; id < view.size(); ++id) {
    EXPECT_EQ(graph.nodes[id], view.stored(id)) << id;
    EXPECT_EQ(graph.nodes[id].op, view[id].op_id()) << id;
    EXPECT_TRUE(std::ranges::equal(graph.nodes[id].children, view[id].inputs())) << id;
  }
  EXPECT_EQ(graph.outputs, (std::vector<std::size_t>{8, 8}));
}

TEST(PipelineTest, SaturationEngineMergesCommutedAndIdentityNodes) {
  const std::vector<NodeKey> nodes = {source("x"),       source("y"),  op("add", {0, 1}),
                                      op("add", {1, 0}), times_one(2), op("mul", {3, 4})};
  const auto [store, reduced] = record_and_reduce(nodes, {5, 4}, SaturationEngine());
  EXPECT_EQ(reduced.keys(),
            (std::vector<NodeKey>{source("x"), source("y"),
                                  stage({0, 1}, "op|add", {StageRef::input(0), StageRef::input(1)}),
                                  stage({2}, "op|mul", {StageRef::input(0), StageRef::input(0)})}));
  EXPECT_EQ(reduced.outputs, (std::vector<NodeId>{3, 2}));
  EXPECT_EQ(reduced.report, (ReductionReport{6, 6, 4, 2, 4, 2}));
  EXPECT_EQ(reduced.node_map[3], (Landing{2, 0}));
  EXPECT_EQ(reduced.node_map[4], (Landing{2, 0}));
}

}  // namespace
}  // namespace tarnvel

#include "optimizer/incremental.hpp"

#include <cstdint>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "node_builders.hpp"
#include "optimizer/saturation_engine.hpp"
#include "serialize/blob.hpp"

namespace tarnvel {
namespace {

// Every node a step may consume.
constexpr std::size_t kAll = SIZE_MAX;

// Nodes kept as a store keeps them but without its checks, so that a reducer can be handed what no
// store holds: a node naming a later one, or two equal nodes.
// The identity of the store hand-made nodes stand for.
constexpr std::uint64_t kHandMade = 0;

// A store of `nodes` and a reducer that consumed all of them; the reducer reads the store's
// operators, so the two live together.
struct Followed {
  std::unique_ptr<GraphStore> store;
  std::unique_ptr<IncrementalReducer> reducer = std::make_unique<IncrementalReducer>();
};
Followed stepped(const std::vector<NodeKey>& nodes) {
  Followed followed{store_of(nodes)};
  EXPECT_EQ(followed.store->node_count(), nodes.size()) << "the keys are distinct";
  EXPECT_EQ(followed.reducer->step(followed.store->identity(), followed.store->nodes_view(), kAll),
            nodes.size());
  return followed;
}

// 3 is 2 commuted; 4 is 3 * 1, so 2; 5 becomes mul(2, 2); 6 is 0 + 5, so 5; sub does not commute.
const std::vector<NodeKey> kProgram = {source("x"),
                                       source("y"),
                                       op("add", {0, 1}),
                                       op("add", {1, 0}),
                                       scalar_op("mul", 1.0, "r", {3}),
                                       op("mul", {4, 2}),
                                       scalar_op("add", 0.0, "l", {5}),
                                       op("sub", {6, 0}),
                                       op("sub", {0, 6})};

void expect_same(const Reduced& a, const Reduced& b) {
  EXPECT_EQ(a.keys(), b.keys());
  EXPECT_EQ(a.outputs, b.outputs);
  EXPECT_EQ(a.node_map, b.node_map);
  EXPECT_EQ(a.report, b.report);
}

TEST(IncrementalTest, FoldsCommutedTwinsIdentitiesAndTheirConsumers) {
  const auto [store, reducer] = stepped(kProgram);
  EXPECT_EQ(reducer->to_canonical(), (std::vector<NodeId>{0, 1, 2, 2, 2, 3, 3, 4, 5}));
  EXPECT_EQ(reducer->canonical()[3], op("mul", {2, 2}));
  EXPECT_EQ(reducer->canonical_count(), 6u);
}

TEST(IncrementalTest, OneStepOrManyGiveTheSameCanonicalForm) {
  const auto [store, whole] = stepped(kProgram);
  const NodesView view = store->nodes_view();
  IncrementalReducer piecewise;
  for (std::size_t i = 0; i < kProgram.size(); ++i) {
    EXPECT_EQ(piecewise.step(store->identity(), view, 1), 1u);
  }
  EXPECT_EQ(piecewise.step(store->identity(), view, kAll), 0u);
  EXPECT_EQ(piecewise.canonical(), whole->canonical());
  EXPECT_EQ(piecewise.to_canonical(), whole->to_canonical());
  EXPECT_EQ(piecewise.total_work(), kProgram.size());
  EXPECT_EQ(whole->total_work(), kProgram.size());
}

TEST(IncrementalTest, OnlyTheExactRuleFormsFold) {
  const ParamMap k = ParamMap({Param{"k", ParamValue::of_int(1)}});
  const HandMade nodes({source("x"), source("y"), op("add", {0, 1}, k), op("add", {1, 0}, k),
                        scalar_op("add", -0.0, "r", {0}), scalar_op("mul", 1.0, "r", {}),
                        scalar_op("mul", 1.0, "r", {0, 1}), scalar_op("mul", 1.0, "r", {}),
                        op("add", {0, 1, 0}), op("add", {1, 0, 0})});
  IncrementalReducer reducer;
  ASSERT_EQ(reducer.step(kHandMade, nodes.view(), kAll), 10u);
  // Only 7 folds, hash-consed onto the equal 5.
  EXPECT_EQ(reducer.to_canonical(), (std::vector<NodeId>{0, 1, 2, 3, 4, 5, 6, 5, 7, 8}));
}

TEST(IncrementalTest, FinalizeAgreesWithTheBatchPipelineInStoreIds) {
  const auto [store, reducer] = stepped(kProgram);
  const SaturationEngine engine;
  const std::vector<NodeId> outputs = {8, 4};
  auto reduced = reducer->finalize(store->identity(), outputs, engine, false);
  ASSERT_TRUE(reduced.has_value());
  EXPECT_EQ(reduced->report.input_nodes, reducer->canonical_count());
  EXPECT_EQ(reduced->node_map[4], reduced->node_map[2]);
  EXPECT_EQ(reduced->node_map[7], std::nullopt);

  const Reduced batch = reduce_with_mode(store->nodes_view(), outputs, engine, false);
  EXPECT_EQ(reduced->keys(), batch.keys());
  EXPECT_EQ(reduced->outputs, batch.outputs);
  EXPECT_EQ(reduced->node_map, batch.node_map);

  auto again = reducer->finalize(store->identity(), outputs, engine, false);
  ASSERT_TRUE(again.has_value());
  expect_same(*again, *reduced);
  const std::vector<NodeId> bad = {0, kProgram.size()};
  EXPECT_EQ(reducer->finalize(store->identity(), bad, engine, false).error(),
            ReducerError(BadNodeId{kProgram.size()}));
}

TEST(IncrementalTest, AFailedStepConsumesNothing) {
  IncrementalReducer reducer;
  const HandMade forward({op("exp", {3})});
  EXPECT_EQ(reducer.step(kHandMade, forward.view(), kAll).error(), ReducerError(BadNodeId{3}));
  EXPECT_EQ(reducer.store(), std::nullopt);  // nothing consumed: no store followed yet
  const HandMade nodes({source("x"), source("y"), op("neg", {1}), op("exp", {3})});
  ASSERT_EQ(reducer.step(kHandMade, nodes.view(), 1), 1u);
  EXPECT_EQ(reducer.step(kHandMade, nodes.view(), kAll).error(), ReducerError(BadNodeId{3}));
  EXPECT_EQ(reducer.watermark(), 1u);
  EXPECT_EQ(reducer.total_work(), 1u);
  EXPECT_EQ(reducer.canonical_count(), 1u);
  // The rolled-back nodes also left the index, so they are added afresh, and the node kept from
  // before the failure is still found.
  ASSERT_EQ(reducer.step(kHandMade, nodes.view(), 2), 2u);
  const HandMade longer({source("x"), source("y"), op("neg", {1}), source("x"), op("neg", {1})});
  ASSERT_EQ(reducer.step(kHandMade, longer.view(), kAll), 2u);
  EXPECT_EQ(reducer.to_canonical(), (std::vector<NodeId>{0, 1, 2, 0, 2}));
  EXPECT_EQ(reducer.canonical(), (std::vector<NodeKey>{source("x"), source("y"), op("neg", {1})}));
}

// A step that fails before the reducer follows any store must leave nothing of that store behind:
// the canonical form names the operators of the store it goes on to follow, here one with fewer
// operators than the failed one.
TEST(IncrementalTest, AFailedFirstStepLeavesNoOperatorsBehind) {
  std::vector<NodeKey> many;
  for (int i = 0; i < 20; ++i) many.push_back(source(("s" + std::to_string(i)).c_str()));
  many.push_back(op("neg", {99}));
  const HandMade failed(many);
  IncrementalReducer reducer;
  EXPECT_EQ(reducer.step(kHandMade, failed.view(), kAll).error(), ReducerError(BadNodeId{99}));

  const auto store = store_of({source("x"), op("neg", {0})});
  ASSERT_EQ(reducer.step(store->identity(), store->nodes_view(), kAll), 2u);
  EXPECT_EQ(reducer.canonical(), (std::vector<NodeKey>{source("x"), op("neg", {0})}));
  const std::vector<NodeId> outputs = {1};
  auto reduced = reducer.finalize(store->identity(), outputs, SaturationEngine(), false);
  ASSERT_TRUE(reduced.has_value());
  EXPECT_EQ(reduced->keys(),
            (std::vector<NodeKey>{source("x"), stage({0}, {{"op|neg", {StageRef::input(0)}}})}));
}

TEST(IncrementalTest, FollowsTheFirstStoreItConsumesAndRefusesEveryOther) {
  GraphStore first, shorter, longer;
  for (const NodeKey& node : kProgram) {
    ASSERT_TRUE(first.intern(node).has_value());
    ASSERT_TRUE(longer.intern(node).has_value());
  }
  ASSERT_TRUE(shorter.intern(source("x")).has_value());
  ASSERT_TRUE(longer.intern(op("neg", {8})).has_value());
  auto copy = deserialize(*serialize_with(first, {}));  // the same nodes, another store
  ASSERT_TRUE(copy.has_value());
  EXPECT_NE((*copy)->identity(), first.identity());
  EXPECT_NE(shorter.identity(), first.identity());

  IncrementalReducer reducer;
  ASSERT_EQ(reducer.step(shorter.identity(), shorter.nodes_view(), 0), 0u);  // binds nothing
  ASSERT_EQ(reducer.step(first.identity(), first.nodes_view(), kAll), kProgram.size());
  EXPECT_EQ(reducer.store(), first.identity());
  const std::vector<NodeKey> canonical = reducer.canonical();
  const SaturationEngine engine;
  const std::vector<NodeId> outputs = {0};
  for (const GraphStore* other : {&shorter, &longer, copy->get()}) {
    EXPECT_EQ(reducer.step(other->identity(), other->nodes_view(), kAll).error(),
              ReducerError(OtherStore{}));
    EXPECT_EQ(reducer.finalize(other->identity(), outputs, engine, false).error(),
              ReducerError(OtherStore{}));
  }
  EXPECT_EQ(reducer.watermark(), kProgram.size());
  EXPECT_EQ(reducer.total_work(), kProgram.size());
  EXPECT_EQ(reducer.canonical(), canonical);
  // Its own store is still served, and re-recording an existing node adds nothing to step over.
  ASSERT_TRUE(first.intern(source("x")).has_value());
  EXPECT_EQ(reducer.step(first.identity(), first.nodes_view(), kAll), 0u);
  EXPECT_TRUE(reducer.finalize(first.identity(), outputs, engine, false).has_value());
}

// Nodes recorded after a step name operators the step's view did not cover: the next step's view
// does, and the canonical form reads them.
TEST(IncrementalTest, OperatorsRecordedBetweenStepsAreRead) {
  GraphStore store;
  ASSERT_TRUE(store.intern(source("x")).has_value());
  IncrementalReducer reducer;
  ASSERT_EQ(reducer.step(store.identity(), store.nodes_view(), kAll), 1u);
  ASSERT_TRUE(store.intern(op("neg", {0})).has_value());
  ASSERT_TRUE(store.intern(op("gather", {0, 1, 0, 1})).has_value());
  ASSERT_EQ(reducer.step(store.identity(), store.nodes_view(), kAll), 2u);
  EXPECT_EQ(reducer.canonical(), store.snapshot().nodes);
}

// The reducer keeps the operators it read alive: it may outlive the store it followed (the
// sanitizer run would see a read of freed operators).
TEST(IncrementalTest, TheReducerOutlivesTheStoreItFollowed) {
  Followed followed = stepped(kProgram);
  const std::vector<NodeKey> expected = followed.reducer->canonical();
  const std::uint64_t identity = followed.store->identity();
  followed.store.reset();
  EXPECT_EQ(followed.reducer->canonical(), expected);
  const SaturationEngine engine;
  EXPECT_TRUE(followed.reducer->finalize(identity, std::vector<NodeId>{6}, engine, false));
}

}  // namespace
}  // namespace tarnvel

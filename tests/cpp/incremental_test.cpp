#include "optimizer/incremental.hpp"

#include <vector>

#include "gtest/gtest.h"
#include "ir/token.hpp"
#include "node_builders.hpp"
#include "optimizer/rules.hpp"
#include "optimizer/saturation_engine.hpp"
#include "serialize/blob.hpp"

namespace tarnvel {
namespace {

// The identity of the store hand-made deltas stand for.
constexpr std::uint64_t kStore = 0;

std::unique_ptr<IncrementalReducer> stepped(const std::vector<NodeKey>& nodes) {
  auto reducer = std::make_unique<IncrementalReducer>();
  EXPECT_EQ(reducer->step(kStore, nodes), nodes.size());
  return reducer;
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

// The reducer looks at the token only of add/mul nodes with two parameters.
TEST(IncrementalTest, IdentityTokensAreTwoParameterAddsAndMuls) {
  for (std::string_view token : kIdentityTokens) {
    auto parsed = parse_op_token(token);
    ASSERT_TRUE(parsed.has_value()) << token;
    EXPECT_TRUE(parsed->name == "add" || parsed->name == "mul") << token;
    EXPECT_EQ(parsed->params.size(), 2u) << token;
  }
}

TEST(IncrementalTest, FoldsCommutedTwinsIdentitiesAndTheirConsumers) {
  const auto reducer = stepped(kProgram);
  EXPECT_EQ(reducer->to_canonical(), (std::vector<NodeId>{0, 1, 2, 2, 2, 3, 3, 4, 5}));
  EXPECT_EQ(reducer->canonical()[3], op("mul", {2, 2}));
  EXPECT_EQ(reducer->canonical_count(), 6u);
}

TEST(IncrementalTest, OneStepOrManyGiveTheSameCanonicalForm) {
  const auto whole = stepped(kProgram);
  IncrementalReducer piecewise;
  for (const NodeKey& node : kProgram) EXPECT_EQ(piecewise.step(kStore, {&node, 1}), 1u);
  EXPECT_EQ(piecewise.step(kStore, {}), 0u);
  EXPECT_TRUE(std::ranges::equal(piecewise.canonical(), whole->canonical()));
  EXPECT_EQ(piecewise.to_canonical(), whole->to_canonical());
  EXPECT_EQ(piecewise.total_work(), kProgram.size());
  EXPECT_EQ(whole->total_work(), kProgram.size());
}

TEST(IncrementalTest, OnlyTheExactRuleFormsFold) {
  const ParamMap k = ParamMap({Param{"k", ParamValue::of_int(1)}});
  const auto reducer =
      stepped({source("x"), source("y"), op("add", {0, 1}, k), op("add", {1, 0}, k),
               scalar_op("add", -0.0, "r", {0}), scalar_op("mul", 1.0, "r", {}),
               scalar_op("mul", 1.0, "r", {0, 1}), scalar_op("mul", 1.0, "r", {}),
               op("add", {0, 1, 0}), op("add", {1, 0, 0})});
  // Only 7 folds, hash-consed onto the equal 5.
  EXPECT_EQ(reducer->to_canonical(), (std::vector<NodeId>{0, 1, 2, 3, 4, 5, 6, 5, 7, 8}));
}

TEST(IncrementalTest, FinalizeAgreesWithTheBatchPipelineInStoreIds) {
  const auto reducer = stepped(kProgram);
  const SaturationEngine engine;
  const std::vector<NodeId> outputs = {8, 4};
  auto reduced = reducer->finalize(kStore, outputs, engine, false);
  ASSERT_TRUE(reduced.has_value());
  EXPECT_EQ(reduced->input_nodes, reducer->canonical_count());
  EXPECT_EQ(reduced->node_map[4], reduced->node_map[2]);
  EXPECT_EQ(reduced->node_map[7], std::nullopt);

  const Reduced batch = reduce_with_mode(kProgram, outputs, engine, false);
  EXPECT_EQ(reduced->nodes, batch.nodes);
  EXPECT_EQ(reduced->outputs, batch.outputs);
  EXPECT_EQ(reduced->node_map, batch.node_map);

  EXPECT_EQ(reducer->finalize(kStore, outputs, engine, false), reduced);
  const std::vector<NodeId> bad = {0, kProgram.size()};
  EXPECT_EQ(reducer->finalize(kStore, bad, engine, false).error(),
            ReducerError(BadNodeId{kProgram.size()}));
}

TEST(IncrementalTest, AFailedStepConsumesNothing) {
  IncrementalReducer reducer;
  const std::vector<NodeKey> bad = {source("y"), op("neg", {1}), op("exp", {3})};
  EXPECT_EQ(reducer.step(kStore, std::span(bad).last(1)).error(), ReducerError(BadNodeId{3}));
  EXPECT_EQ(reducer.store(), std::nullopt);  // nothing consumed: no store followed yet
  ASSERT_EQ(reducer.step(kStore, std::vector<NodeKey>{source("x")}), 1u);
  EXPECT_EQ(reducer.step(kStore, bad).error(), ReducerError(BadNodeId{3}));
  EXPECT_EQ(reducer.watermark(), 1u);
  EXPECT_EQ(reducer.total_work(), 1u);
  EXPECT_EQ(reducer.canonical_count(), 1u);
  // The rolled-back keys also left the index, so they are added afresh.
  ASSERT_EQ(reducer.step(kStore, std::span(bad).first(2)), 2u);
  EXPECT_EQ(reducer.to_canonical(), (std::vector<NodeId>{0, 1, 2}));
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
  ASSERT_EQ(reducer.step(shorter.identity(), {}), 0u);  // consumes nothing, so binds nothing
  ASSERT_EQ(reducer.step(first.identity(), first.snapshot_from(0)), kProgram.size());
  EXPECT_EQ(reducer.store(), first.identity());
  const std::vector<NodeKey> canonical = reducer.canonical();
  const SaturationEngine engine;
  const std::vector<NodeId> outputs = {0};
  for (const GraphStore* other : {&shorter, &longer, copy->get()}) {
    EXPECT_EQ(reducer.step(other->identity(), other->snapshot_from(reducer.watermark())).error(),
              ReducerError(OtherStore{}));
    EXPECT_EQ(reducer.finalize(other->identity(), outputs, engine, false).error(),
              ReducerError(OtherStore{}));
  }
  EXPECT_EQ(reducer.watermark(), kProgram.size());
  EXPECT_EQ(reducer.total_work(), kProgram.size());
  EXPECT_TRUE(std::ranges::equal(reducer.canonical(), canonical));
  // Its own store is still served, and re-recording an existing node adds nothing to step over.
  ASSERT_TRUE(first.intern(source("x")).has_value());
  EXPECT_EQ(reducer.step(first.identity(), first.snapshot_from(reducer.watermark())), 0u);
  EXPECT_TRUE(reducer.finalize(first.identity(), outputs, engine, false).has_value());
}

}  // namespace
}  // namespace tarnvel

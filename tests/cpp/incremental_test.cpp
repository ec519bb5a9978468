#include "optimizer/incremental.hpp"

#include <vector>

#include "gtest/gtest.h"
#include "optimizer/saturation_engine.hpp"

namespace tarnvel {
namespace {

ParamMap params(std::initializer_list<std::pair<const char*, ParamValue>> pairs) {
  ParamMap::Pairs out;
  for (const auto& [key, value] : pairs) out.push_back(Param{Text(key), value});
  return ParamMap(std::move(out));
}
NodeKey src(const char* name) { return NodeKey::source(name, {}); }
NodeKey op(const char* name, NodeInputs inputs) { return NodeKey::op(name, {}, std::move(inputs)); }
NodeKey scalar_op(const char* name, double scalar, const char* side, NodeInputs inputs) {
  return NodeKey::op(name, params({{"scalar", ParamValue::of_float(scalar)}, {"side", ParamValue::of_str(side)}}),
                     std::move(inputs));
}

// Steps a fresh reducer over `nodes` in one step and returns it.
std::unique_ptr<IncrementalReducer> stepped(const std::vector<NodeKey>& nodes) {
  auto reducer = std::make_unique<IncrementalReducer>();
  EXPECT_EQ(reducer->step(nodes), nodes.size());
  return reducer;
}
std::vector<NodeId> to_canonical(const IncrementalReducer& r) {
  return {r.to_canonical().begin(), r.to_canonical().end()};
}

const std::vector<NodeKey> kProgram = {
    src("x"), src("y"), op("add", {0, 1}), op("add", {1, 0}), scalar_op("mul", 1.0, "r", {3}),
    op("mul", {4, 2}), scalar_op("add", 0.0, "l", {5}), op("sub", {6, 0}), op("sub", {0, 6})};

TEST(IncrementalTest, OneStepOrManyGiveTheSameCanonicalForm) {
  const auto whole = stepped(kProgram);
  IncrementalReducer piecewise;
  for (const NodeKey& node : kProgram) EXPECT_EQ(piecewise.step({&node, 1}), 1u);
  EXPECT_EQ(piecewise.step({}), 0u);
  EXPECT_TRUE(std::ranges::equal(piecewise.canonical(), whole->canonical()));
  EXPECT_EQ(to_canonical(piecewise), to_canonical(*whole));
  EXPECT_EQ(piecewise.total_work(), kProgram.size());
  EXPECT_EQ(whole->total_work(), kProgram.size());
  EXPECT_EQ(whole->watermark(), kProgram.size());
}

TEST(IncrementalTest, FoldsCommutedTwinsIdentitiesAndTheirConsumers) {
  const auto reducer = stepped(kProgram);
  // 3 joins 2; 4 is 3 * 1, so 2; 5 = mul(2, 2); 6 = 0 + 5, so 5; subtraction does not commute.
  EXPECT_EQ(to_canonical(*reducer), (std::vector<NodeId>{0, 1, 2, 2, 2, 3, 3, 4, 5}));
  EXPECT_EQ(reducer->canonical()[3], op("mul", {2, 2}));
  EXPECT_EQ(reducer->canonical_count(), 6u);
}

TEST(IncrementalTest, OnlyTheExactRuleFormsFold) {
  const auto reducer = stepped({src("x"), src("y"),
                                NodeKey::op("add", params({{"k", ParamValue::of_int(1)}}), {0, 1}),
                                NodeKey::op("add", params({{"k", ParamValue::of_int(1)}}), {1, 0}),
                                scalar_op("add", -0.0, "r", {0}),
                                scalar_op("mul", 1.0, "r", {}),
                                scalar_op("mul", 1.0, "r", {0, 1}),
                                scalar_op("mul", 1.0, "r", {}),
                                op("add", {0, 1, 0}),
                                op("add", {1, 0, 0})});
  EXPECT_EQ(to_canonical(*reducer), (std::vector<NodeId>{0, 1, 2, 3, 4, 5, 6, 5, 7, 8}));
}

TEST(IncrementalTest, FinalizeComposesTheNodeMapIntoStoreIds) {
  const auto reducer = stepped(kProgram);
  const SaturationEngine engine;
  const std::vector<NodeId> outputs = {8, 4};
  auto reduced = reducer->finalize(outputs, engine, false);
  ASSERT_TRUE(reduced.has_value());
  EXPECT_EQ(reduced->input_nodes, reducer->canonical_count());
  ASSERT_EQ(reduced->node_map.size(), kProgram.size());
  EXPECT_EQ(reduced->node_map[3], reduced->node_map[2]);
  EXPECT_EQ(reduced->node_map[4], reduced->node_map[2]);
  EXPECT_EQ(reduced->node_map[7], std::nullopt);

  // The batch pipeline over the whole history reaches the same graph.
  const Reduced batch = reduce_with_mode(kProgram, outputs, engine, false);
  EXPECT_EQ(reduced->nodes, batch.nodes);
  EXPECT_EQ(reduced->outputs, batch.outputs);
  EXPECT_EQ(reduced->node_map, batch.node_map);

  EXPECT_EQ(reducer->finalize(outputs, engine, false), reduced);
  EXPECT_EQ(reducer->finalize(std::vector<NodeId>{0, kProgram.size()}, engine, false).error(),
            BadNodeId{kProgram.size()});
}

TEST(IncrementalTest, AFailedStepConsumesNothing) {
  IncrementalReducer reducer;
  ASSERT_EQ(reducer.step(std::vector<NodeKey>{src("x")}), 1u);
  const std::vector<NodeKey> bad = {src("y"), op("neg", {1}), op("exp", {3})};
  EXPECT_EQ(reducer.step(bad).error(), BadNodeId{3});
  EXPECT_EQ(reducer.watermark(), 1u);
  EXPECT_EQ(reducer.total_work(), 1u);
  EXPECT_EQ(reducer.canonical_count(), 1u);
  // The rolled-back keys left the index: stepping them again adds them afresh.
  ASSERT_EQ(reducer.step(std::span(bad).first(2)), 2u);
  EXPECT_EQ(to_canonical(reducer), (std::vector<NodeId>{0, 1, 2}));
}

TEST(IncrementalTest, FollowingAShorterStoreConsumesNothing) {
  GraphStore first, second;
  for (const NodeKey& node : kProgram) ASSERT_TRUE(first.intern(node).has_value());
  ASSERT_TRUE(second.intern(src("x")).has_value());
  IncrementalReducer reducer;
  ASSERT_EQ(reducer.step(first.snapshot_from(reducer.watermark())), kProgram.size());
  ASSERT_TRUE(first.intern(src("x")).has_value());  // re-recording adds nothing new to step over
  EXPECT_EQ(reducer.step(first.snapshot_from(reducer.watermark())), 0u);
  EXPECT_EQ(reducer.step(second.snapshot_from(reducer.watermark())), 0u);
  EXPECT_EQ(reducer.total_work(), kProgram.size());
}

}  // namespace
}  // namespace tarnvel

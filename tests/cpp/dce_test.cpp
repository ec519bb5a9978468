#include "optimizer/dce.hpp"

#include <vector>

#include "gtest/gtest.h"
#include "node_builders.hpp"
#include "support/fault.hpp"

namespace tarnvel {
namespace {

TEST(DceTest, SurvivorsFollowOldIdsNotOutputOrder) {
  // 1 feeds only the dead 3, so it dies although it has a consumer.
  const std::vector<NodeKey> nodes = {source("a"),    source("b"),    source("c"),
                                      op("neg", {1}), op("abs", {0}), op("exp", {2})};
  const DceResult result = dead_code_elimination(nodes, std::vector<NodeId>{5, 2});
  EXPECT_EQ(result.nodes, (std::vector<NodeKey>{source("c"), op("exp", {0})}));
  EXPECT_EQ(result.outputs, (std::vector<NodeId>{1, 0}));
  EXPECT_EQ(result.survival, (std::vector<NodeId>{kDropped, kDropped, 0, kDropped, kDropped, 1}));

  const DceResult none = dead_code_elimination(nodes, {});
  EXPECT_TRUE(none.nodes.empty());
  EXPECT_EQ(none.survival, std::vector<NodeId>(6, kDropped));
}

TEST(DceTest, RewritesOnlyInputs) {
  const std::vector<StageOp> members = {{"op|add", {StageRef::input(0), StageRef::input(1)}}};
  const std::vector<NodeKey> nodes = {source("dead"), source("x"), op("mul", {1, 1}),
                                      NodeKey::stage({2, 1}, members)};
  const DceResult result = dead_code_elimination(nodes, std::vector<NodeId>{3, 3});
  EXPECT_EQ(result.nodes, (std::vector<NodeKey>{source("x"), op("mul", {0, 0}),
                                                NodeKey::stage({1, 0}, members)}));
  EXPECT_EQ(result.outputs, (std::vector<NodeId>{2, 2}));
}

TEST(DceTest, MillionNodeChainNeedsNoRecursion) {
  constexpr NodeId kLength = 1'000'000;  // far deeper than a call stack allows
  std::vector<NodeKey> nodes;
  nodes.reserve(kLength);
  nodes.push_back(source("x"));
  for (NodeId i = 1; i < kLength; ++i) nodes.push_back(op("neg", {i - 1}));
  const DceResult result = dead_code_elimination(nodes, std::vector<NodeId>{kLength - 1});
  EXPECT_EQ(result.nodes.size(), kLength);
  EXPECT_EQ(result.nodes.back(), nodes.back());
}

TEST(DceTest, BrokenPreconditionsAreInternalFaults) {
  const std::vector<NodeKey> forward = {op("neg", {1}), source("x")};
  EXPECT_THROW(dead_code_elimination(forward, std::vector<NodeId>{0}), InternalFault);
  EXPECT_THROW(dead_code_elimination(forward, std::vector<NodeId>{2}), InternalFault);
}

}  // namespace
}  // namespace tarnvel

#include "optimizer/dce.hpp"

#include <vector>

#include "gtest/gtest.h"
#include "node_builders.hpp"
#include "support/fault.hpp"

namespace tarnvel {
namespace {

TEST(DceTest, SurvivorsFollowOldIdsNotOutputOrder) {
  // 1 feeds only the dead 3, so it dies although it has a consumer.
  const HandMade nodes(
      {source("a"), source("b"), source("c"), op("neg", {1}), op("abs", {0}), op("exp", {2})});
  const std::vector<NodeId> survival = survival_map(nodes.view(), std::vector<NodeId>{5, 2});
  EXPECT_EQ(survival, (std::vector<NodeId>{kDropped, kDropped, 0, kDropped, kDropped, 1}));
  EXPECT_EQ(survivor_count(survival), 2u);
  EXPECT_EQ(survival_map(nodes.view(), {}), std::vector<NodeId>(6, kDropped));
  // A node named twice, or by an output and a consumer, survives once.
  EXPECT_EQ(survival_map(nodes.view(), std::vector<NodeId>{3, 3, 1}),
            (std::vector<NodeId>{kDropped, 0, kDropped, 1, kDropped, kDropped}));
}

TEST(DceTest, MillionNodeChainNeedsNoRecursion) {
  constexpr NodeId kLength = 1'000'000;  // far deeper than a call stack allows
  std::vector<NodeKey> keys;
  keys.reserve(kLength);
  keys.push_back(source("x"));
  for (NodeId i = 1; i < kLength; ++i) keys.push_back(op("neg", {i - 1}));
  const HandMade nodes(keys);
  const std::vector<NodeId> survival = survival_map(nodes.view(), std::vector<NodeId>{kLength - 1});
  EXPECT_EQ(survivor_count(survival), kLength);
  EXPECT_EQ(survival.back(), kLength - 1);
}

TEST(DceTest, BrokenPreconditionsAreInternalFaults) {
  const HandMade forward({op("neg", {1}), source("x")});
  EXPECT_THROW(survival_map(forward.view(), std::vector<NodeId>{0}), InternalFault);
  EXPECT_THROW(survival_map(forward.view(), std::vector<NodeId>{2}), InternalFault);
}

}  // namespace
}  // namespace tarnvel

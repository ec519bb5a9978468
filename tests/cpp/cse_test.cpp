#include "optimizer/cse.hpp"

#include "gtest/gtest.h"
#include "node_builders.hpp"

namespace tarnvel {
namespace {

const OpId kX = other_op(0);
const OpId kY = other_op(1);
const OpId kNeg = other_op(2);
const OpId kExp = other_op(3);
const OpId kSub = other_op(4);
const OpId kAdd = commutative_op("add");

TEST(CseTest, LaterDuplicateFoldsIntoEarlierAndConsumersFollow) {
  const EngineGraph graph{
      {engine_node(kX), engine_node(kNeg, {0}), engine_node(kNeg, {0}), engine_node(kExp, {2})},
      {3, 2}};
  const CseResult result = cse(graph);
  EXPECT_EQ(result.graph.nodes,
            (std::vector<Node>{engine_node(kX), engine_node(kNeg, {0}), engine_node(kExp, {1})}));
  EXPECT_EQ(result.index_map, (std::vector<std::size_t>{0, 1, 1, 2}));
  EXPECT_EQ(result.graph.outputs, (std::vector<std::size_t>{2, 1}));
}

TEST(CseTest, MergesCascadeInOnePassAndThenHoldStill) {
  // The leaves merge, which makes the negations equal, and then the additions.
  const EngineGraph graph{
      {engine_node(kX), engine_node(kX), engine_node(kNeg, {0}), engine_node(kNeg, {1}),
       engine_node(kAdd, {2, 3}), engine_node(kAdd, {3, 2})},
      {4, 5}};
  const CseResult result = cse(graph);
  EXPECT_EQ(result.graph.nodes, (std::vector<Node>{engine_node(kX), engine_node(kNeg, {0}),
                                                   engine_node(kAdd, {1, 1})}));
  EXPECT_EQ(result.graph.outputs, (std::vector<std::size_t>{2, 2}));
  EXPECT_EQ(cse(result.graph).graph, result.graph);
}

TEST(CseTest, ChildOrderIsPartOfTheKey) {
  const EngineGraph graph{
      {engine_node(kX), engine_node(kY), engine_node(kSub, {0, 1}), engine_node(kSub, {1, 0})},
      {2, 3}};
  const CseResult result = cse(graph);
  EXPECT_EQ(result.graph, graph);
  EXPECT_EQ(result.index_map, (std::vector<std::size_t>{0, 1, 2, 3}));
}

}  // namespace
}  // namespace tarnvel

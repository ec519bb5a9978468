#include "optimizer/cse.hpp"

#include "gtest/gtest.h"
#include "node_builders.hpp"

namespace tarnvel {
namespace {

TEST(CseTest, LaterDuplicateFoldsIntoEarlierAndConsumersFollow) {
  const EngineGraph graph{{opaque_node("src|x"), engine_node("op|neg", {0}),
                           engine_node("op|neg", {0}), engine_node("op|exp", {2})},
                          {3, 2}};
  const CseResult result = cse(graph);
  EXPECT_EQ(result.graph.nodes,
            (std::vector<EngineNode>{opaque_node("src|x"), engine_node("op|neg", {0}),
                                     engine_node("op|exp", {1})}));
  EXPECT_EQ(result.index_map, (std::vector<std::size_t>{0, 1, 1, 2}));
  EXPECT_EQ(result.graph.outputs, (std::vector<std::size_t>{2, 1}));
}

TEST(CseTest, MergesCascadeInOnePassAndThenHoldStill) {
  // The leaves merge, which makes the negations equal, and then the additions.
  const EngineGraph graph{
      {opaque_node("src|x"), opaque_node("src|x"), engine_node("op|neg", {0}),
       engine_node("op|neg", {1}), engine_node("op|add", {2, 3}), engine_node("op|add", {3, 2})},
      {4, 5}};
  const CseResult result = cse(graph);
  EXPECT_EQ(result.graph.nodes,
            (std::vector<EngineNode>{opaque_node("src|x"), engine_node("op|neg", {0}),
                                     engine_node("op|add", {1, 1})}));
  EXPECT_EQ(result.graph.outputs, (std::vector<std::size_t>{2, 2}));
  EXPECT_EQ(cse(result.graph).graph, result.graph);
}

TEST(CseTest, ChildOrderIsPartOfTheKey) {
  const EngineGraph graph{{opaque_node("src|x"), opaque_node("src|y"),
                           engine_node("op|sub", {0, 1}), engine_node("op|sub", {1, 0})},
                          {2, 3}};
  const CseResult result = cse(graph);
  EXPECT_EQ(result.graph, graph);
  EXPECT_EQ(result.index_map, (std::vector<std::size_t>{0, 1, 2, 3}));
}

}  // namespace
}  // namespace tarnvel

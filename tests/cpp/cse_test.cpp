#include "optimizer/cse.hpp"

#include "gtest/gtest.h"

namespace tarnvel {
namespace {

EngineNode leaf(const char* symbol) { return {symbol, {}, true}; }
EngineNode node(const char* symbol, absl::InlinedVector<std::size_t, 2> children) {
  return {symbol, std::move(children), false};
}

TEST(CseTest, LaterDuplicateFoldsIntoEarlierAndConsumersFollow) {
  const EngineGraph graph{
      {leaf("src|x"), node("op|neg", {0}), node("op|neg", {0}), node("op|exp", {2})}, {3, 2}};
  const CseResult result = cse(graph);
  EXPECT_EQ(result.graph.nodes, (std::vector<EngineNode>{leaf("src|x"), node("op|neg", {0}),
                                                         node("op|exp", {1})}));
  EXPECT_EQ(result.index_map, (std::vector<std::size_t>{0, 1, 1, 2}));
  EXPECT_EQ(result.graph.outputs, (std::vector<std::size_t>{2, 1}));
}

TEST(CseTest, MergesCascadeInOnePassAndThenHoldStill) {
  // The leaves merge, which makes the negations equal, and then the additions.
  const EngineGraph graph{{leaf("src|x"), leaf("src|x"), node("op|neg", {0}), node("op|neg", {1}),
                           node("op|add", {2, 3}), node("op|add", {3, 2})},
                          {4, 5}};
  const CseResult result = cse(graph);
  EXPECT_EQ(result.graph.nodes, (std::vector<EngineNode>{leaf("src|x"), node("op|neg", {0}),
                                                         node("op|add", {1, 1})}));
  EXPECT_EQ(result.graph.outputs, (std::vector<std::size_t>{2, 2}));
  EXPECT_EQ(cse(result.graph).graph, result.graph);
}

TEST(CseTest, ChildOrderIsPartOfTheKey) {
  const EngineGraph graph{
      {leaf("src|x"), leaf("src|y"), node("op|sub", {0, 1}), node("op|sub", {1, 0})}, {2, 3}};
  const CseResult result = cse(graph);
  EXPECT_EQ(result.graph, graph);
  EXPECT_EQ(result.index_map, (std::vector<std::size_t>{0, 1, 2, 3}));
}

}  // namespace
}  // namespace tarnvel

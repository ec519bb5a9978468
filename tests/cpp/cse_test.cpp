#include "optimizer/cse.hpp"

#include <numeric>

#include "gtest/gtest.h"

namespace tarnvel {
namespace {

EngineNode leaf(const char* symbol) { return {symbol, {}, true}; }
EngineNode node(const char* symbol, absl::InlinedVector<std::size_t, 2> children) {
  return {symbol, std::move(children), false};
}

TEST(CseTest, LaterDuplicateFoldsIntoEarlierAndConsumersFollow) {
  const EngineGraph graph{{leaf("src|x"), node("op|neg", {0}), node("op|neg", {0}),
                           node("op|exp", {2})},
                          {3, 2}};
  const CseResult result = cse(graph);
  EXPECT_EQ(result.graph.nodes, (std::vector<EngineNode>{leaf("src|x"), node("op|neg", {0}),
                                                         node("op|exp", {1})}));
  EXPECT_EQ(result.index_map, (std::vector<std::size_t>{0, 1, 1, 2}));
  EXPECT_EQ(result.graph.outputs, (std::vector<std::size_t>{2, 1}));
}

TEST(CseTest, MergesCascadeInOnePass) {
  // The leaves merge, which makes the two consumers equal, and then their two consumers.
  const EngineGraph graph{{leaf("src|x"), leaf("src|x"), node("op|neg", {0}), node("op|neg", {1}),
                           node("op|add", {2, 3}), node("op|add", {3, 2})},
                          {4, 5}};
  const CseResult result = cse(graph);
  EXPECT_EQ(result.graph.nodes, (std::vector<EngineNode>{leaf("src|x"), node("op|neg", {0}),
                                                         node("op|add", {1, 1})}));
  EXPECT_EQ(result.graph.outputs, (std::vector<std::size_t>{2, 2}));
}

TEST(CseTest, ChildOrderIsPartOfTheKey) {
  const EngineGraph graph{{leaf("src|x"), leaf("src|y"), node("op|sub", {0, 1}), node("op|sub", {1, 0})},
                          {2, 3}};
  const CseResult result = cse(graph);
  EXPECT_EQ(result.graph, graph);
  std::vector<std::size_t> identity(4);
  std::iota(identity.begin(), identity.end(), std::size_t{0});
  EXPECT_EQ(result.index_map, identity);
}

TEST(CseTest, IsIdempotent) {
  const EngineGraph graph{{leaf("src|x"), leaf("src|x"), node("op|neg", {1}), node("op|neg", {0})},
                          {2, 3}};
  const CseResult once = cse(graph);
  EXPECT_EQ(cse(once.graph).graph, once.graph);
}

}  // namespace
}  // namespace tarnvel

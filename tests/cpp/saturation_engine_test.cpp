#include "optimizer/saturation_engine.hpp"

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <thread>
#include <vector>

#include "node_builders.hpp"
#include "optimizer/cse.hpp"
#include "support/fault.hpp"

namespace tarnvel {
namespace {

constexpr const char* kAddZeroRight = "op|add|scalar=f0000000000000000;side=sr";
constexpr const char* kAddZeroLeft = "op|add|scalar=f0000000000000000;side=sl";
constexpr const char* kMulOneRight = "op|mul|scalar=f3ff0000000000000;side=sr";

std::vector<std::size_t> children(const CanonicalGraph& result, std::size_t index) {
  const auto& list = result.graph.nodes.at(index).children;
  return {list.begin(), list.end()};
}

// The read-out claims that cse would change nothing, which lets the pipeline skip it.
void expect_duplicate_free(const CanonicalGraph& result) {
  ASSERT_TRUE(result.duplicate_free);
  const CseResult dedup = cse(result.graph);
  EXPECT_EQ(dedup.graph, result.graph);
  for (std::size_t i = 0; i < dedup.index_map.size(); ++i) ASSERT_EQ(dedup.index_map[i], i);
}

class SaturationEngineTest : public ::testing::Test {
 protected:
  CanonicalGraph canonicalize(std::vector<EngineNode> nodes,
                              std::vector<std::size_t> outputs = {}) {
    return engine.canonicalize(EngineGraph{std::move(nodes), std::move(outputs)});
  }

  const SaturationEngine engine;
};

TEST_F(SaturationEngineTest, HasTheTwelveRulesInOrder) {
  std::vector<std::string> names;
  for (const auto& rule : engine.rules()) names.push_back(rule.name());
  EXPECT_EQ(names, (std::vector<std::string>{"commute-add", "commute-mul", "commute-and",
                                             "commute-or", "commute-eq", "commute-ne",
                                             "commute-maximum", "commute-minimum", "identity-0",
                                             "identity-1", "identity-2", "identity-3"}));
  EXPECT_EQ(engine.iteration_limit(), 12u);
}

TEST_F(SaturationEngineTest, WorkedExample) {
  const CanonicalGraph result =
      canonicalize({engine_node("src|x"), engine_node("src|y"), engine_node("op|add", {0, 1}),
                    engine_node("op|add", {1, 0}), engine_node(kMulOneRight, {2}),
                    engine_node("op|mul", {3, 4})},
                   {5});
  ASSERT_EQ(result.graph.nodes.size(), 4u);
  EXPECT_EQ(result.graph.nodes[0], (EngineNode{"src|x", {}, true}));
  EXPECT_EQ(result.graph.nodes[1], (EngineNode{"src|y", {}, true}));
  EXPECT_EQ(result.graph.nodes[2], (EngineNode{"op|add", {0, 1}, false}));
  EXPECT_EQ(result.graph.nodes[3], (EngineNode{"op|mul", {2, 2}, false}));
  EXPECT_EQ(result.node_map, (std::vector<std::size_t>{0, 1, 2, 2, 2, 3}));
  EXPECT_EQ(result.graph.outputs, (std::vector<std::size_t>{3}));
}

TEST_F(SaturationEngineTest, AnEmptyGraphStaysEmpty) {
  const CanonicalGraph result = canonicalize({});
  EXPECT_TRUE(result.graph.nodes.empty());
  EXPECT_TRUE(result.graph.outputs.empty());
  EXPECT_TRUE(result.node_map.empty());
}

TEST_F(SaturationEngineTest, ACommutedDuplicateJoinsTheEarlierNode) {
  const CanonicalGraph result =
      canonicalize({engine_node("src|a"), engine_node("src|b"), engine_node("src|c"),
                    engine_node("op|add", {0, 1}), engine_node("src|d"), engine_node("src|e"),
                    engine_node("src|f"), engine_node("op|add", {1, 0})});
  EXPECT_EQ(result.graph.nodes.size(), 7u);
  EXPECT_EQ(result.node_map[3], result.node_map[7]);
  EXPECT_EQ(children(result, result.node_map[3]), (std::vector<std::size_t>{0, 1}));
}

// Rules match whole tokens and arities: another operator, parameters, one or three operands, or
// the scalars 1.0 for addition and 0.0 for multiplication leave nodes apart. Only the last pair,
// maximum over both orders, merges.
TEST_F(SaturationEngineTest, NearMissesStayApart) {
  const CanonicalGraph result =
      canonicalize({engine_node("src|a"), engine_node("src|b"), engine_node("op|sub", {0, 1}),
                    engine_node("op|sub", {1, 0}), engine_node("op|add|scalar=i1", {0, 1}),
                    engine_node("op|add|scalar=i1", {1, 0}), engine_node("op|add", {0}),
                    engine_node("op|add", {1}), engine_node("op|add", {0, 1, 0}),
                    engine_node("op|add", {1, 0, 0}),
                    engine_node("op|add|scalar=f3ff0000000000000;side=sr", {0}),
                    engine_node("op|mul|scalar=f0000000000000000;side=sl", {0}),
                    engine_node("op|mul|scalar=f3ff0000000000000", {0}),
                    engine_node("op|maximum", {0, 1}), engine_node("op|maximum", {1, 0})});
  EXPECT_EQ(result.node_map,
            (std::vector<std::size_t>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 13}));
}

TEST_F(SaturationEngineTest, IdentitiesFallIntoTheirInput) {
  const CanonicalGraph result = canonicalize(
      {engine_node("src|x"), engine_node(kAddZeroRight, {0}), engine_node(kAddZeroLeft, {1}),
       engine_node(kMulOneRight, {2}), engine_node("op|neg", {3})},
      {3, 1, 4});
  ASSERT_EQ(result.graph.nodes.size(), 2u);
  EXPECT_EQ(result.node_map, (std::vector<std::size_t>{0, 0, 0, 0, 1}));
  EXPECT_EQ(children(result, 1), (std::vector<std::size_t>{0}));
  EXPECT_EQ(result.graph.outputs, (std::vector<std::size_t>{0, 0, 1}));
}

TEST_F(SaturationEngineTest, EqualitiesPropagateToUsers) {
  // c = b + 0, so a * b and a * c are one node, the earlier one; identical nodes (the two exps)
  // collapse without any rule, and so do their users.
  const CanonicalGraph result = canonicalize(
      {engine_node("src|a"), engine_node("src|b"), engine_node(kAddZeroRight, {1}),
       engine_node("op|mul", {0, 1}), engine_node("op|mul", {0, 2}), engine_node("op|mul", {2, 0}),
       engine_node("op|exp", {0}), engine_node("op|exp", {0}), engine_node("red|sum", {7}),
       engine_node("red|sum", {6})},
      {5, 5, 2});
  EXPECT_EQ(result.node_map, (std::vector<std::size_t>{0, 1, 1, 2, 2, 2, 3, 3, 4, 4}));
  EXPECT_EQ(result.graph.outputs, (std::vector<std::size_t>{2, 2, 1}));
  expect_duplicate_free(result);
}

TEST_F(SaturationEngineTest, OpaqueIsRecomputedFromTheToken) {
  std::vector<EngineNode> nodes = {engine_node("src|a"), engine_node("op|neg", {0}),
                                   engine_node("red|sum", {1}), engine_node("exch", {2}),
                                   engine_node("op|", {3})};
  for (EngineNode& input : nodes) input.opaque = !input.opaque;  // wrong on purpose: not read
  const CanonicalGraph result = canonicalize(std::move(nodes));
  std::vector<bool> opaque;
  for (const EngineNode& output : result.graph.nodes) opaque.push_back(output.opaque);
  EXPECT_EQ(opaque, (std::vector<bool>{true, false, true, true, false}));
}

TEST_F(SaturationEngineTest, ABrokenInputContractIsAnInternalFault) {
  EXPECT_THROW(canonicalize({engine_node("src|a"), engine_node("op|neg", {1})}), InternalFault);
  try {
    canonicalize({engine_node("src|a")}, {1});
    FAIL() << "an output past the nodes was accepted";
  } catch (const InternalFault& fault) {
    EXPECT_STREQ(fault.what(), "missing map entry");
  }
}

// 2400 distinct additions: commute-add is banned at thresholds 1000 and 2000, and the idle
// iterations in between fast-forward the bans, so it is applied at 4000 within the iteration limit.
TEST_F(SaturationEngineTest, CommutativityPastTheFirstThresholdsStillMerges) {
  std::vector<EngineNode> nodes = {engine_node("src|a")};
  for (std::size_t i = 0; i < 1200; ++i) nodes.push_back(engine_node("src|s" + std::to_string(i)));
  for (std::size_t i = 1; i <= 1200; ++i) {
    nodes.push_back(engine_node("op|add", {0, i}));
    nodes.push_back(engine_node("op|add", {i, 0}));
  }
  nodes.push_back(engine_node(kAddZeroRight, {1201}));
  const CanonicalGraph result = canonicalize(std::move(nodes));
  EXPECT_EQ(result.graph.nodes.size(), 1201u + 1200u);
  for (std::size_t pair = 0; pair < 1200; ++pair) {
    ASSERT_EQ(result.node_map[1201 + 2 * pair], result.node_map[1202 + 2 * pair]) << pair;
  }
  EXPECT_EQ(result.node_map.back(), result.node_map[1201]);
}

TEST_F(SaturationEngineTest, ConcurrentCallsGiveTheSameResult) {
  std::vector<EngineNode> nodes = {engine_node("src|a"), engine_node("src|b")};
  for (std::size_t i = 2; i < 400; ++i) {
    nodes.push_back(i % 3 == 2
                        ? engine_node(kMulOneRight, {i - 1})
                        : engine_node(i % 3 == 0 ? "op|add" : "op|mul", {i - 1, (i * 7) % i}));
  }
  const EngineGraph graph{nodes, {nodes.size() - 1}};
  const CanonicalGraph expected = engine.canonicalize(graph);
  expect_duplicate_free(expected);
  std::vector<CanonicalGraph> results(4);
  std::vector<std::thread> threads;
  for (CanonicalGraph& result : results) {
    threads.emplace_back([&] { result = engine.canonicalize(graph); });
  }
  for (std::thread& thread : threads) thread.join();
  for (const CanonicalGraph& result : results) {
    EXPECT_EQ(result.graph, expected.graph);
    EXPECT_EQ(result.node_map, expected.node_map);
  }
}

}  // namespace
}  // namespace tarnvel

#include "gtest/gtest.h"
#include "store/graph_store.hpp"

namespace tarnvel {
namespace {

NodeId add(GraphStore& store, NodeKey key) { return *store.intern(std::move(key)); }

TEST(DotTest, EmptyStoreIsHeaderAndClosingLine) {
  EXPECT_EQ(GraphStore().to_dot(), "digraph tarnvel {\n}\n");
}

TEST(DotTest, SourceAndMarkedOpRenderAsFiveLines) {
  GraphStore store;
  const NodeId x = add(store, NodeKey::source("x", {}));
  ASSERT_TRUE(store.mark_output(add(store, NodeKey::op("neg", {}, {x}))).has_value());
  EXPECT_EQ(store.to_dot(),
            "digraph tarnvel {\n"
            "  n0 [label=\"Source x\"];\n"
            "  n1 [label=\"Op neg\", shape=doublecircle];\n"
            "  n0 -> n1;\n"
            "}\n");
}

TEST(DotTest, LabelBackslashesAndQuotesAreEscaped) {
  GraphStore store;
  ParamMap::Pairs pairs;
  pairs.push_back(Param{"v", ParamValue::of_str(R"(a"b\c)")});
  add(store, NodeKey::source(R"(q"\)", ParamMap(std::move(pairs))));
  // Label: Source q"\ {v="a\"b\\c"}; every backslash doubled, then every quote escaped.
  EXPECT_EQ(store.to_dot(),
            "digraph tarnvel {\n"
            R"(  n0 [label="Source q\"\\ {v=\"a\\\"b\\\\c\"}"];)"
            "\n"
            "}\n");
}

TEST(DotTest, MarkedNodesAreDoubleCirclesWhateverTheMarkOrder) {
  GraphStore forward, backward;
  for (GraphStore* store : {&forward, &backward}) {
    for (const char* name : {"a", "b", "c"}) add(*store, NodeKey::source(name, {}));
  }
  ASSERT_TRUE(forward.mark_output(0).has_value());
  ASSERT_TRUE(forward.mark_output(2).has_value());
  ASSERT_TRUE(backward.mark_output(2).has_value());
  ASSERT_TRUE(backward.mark_output(0).has_value());
  const std::string dot = backward.to_dot();
  EXPECT_EQ(dot, forward.to_dot());
  EXPECT_EQ(dot,
            "digraph tarnvel {\n"
            "  n0 [label=\"Source a\", shape=doublecircle];\n"
            "  n1 [label=\"Source b\"];\n"
            "  n2 [label=\"Source c\", shape=doublecircle];\n"
            "}\n");
}

TEST(DotTest, RepeatedInputGivesOneEdgeLineEach) {
  GraphStore store;
  for (const char* name : {"a", "b", "c", "d"}) add(store, NodeKey::source(name, {}));
  add(store, NodeKey::op("add", {}, {3, 3}));
  add(store, NodeKey::stage({4, 0}, {StageOp{"op|neg", {StageRef::input(0)}}}));
  const std::string dot = store.to_dot();
  EXPECT_TRUE(dot.ends_with("  n3 -> n4;\n  n3 -> n4;\n  n4 -> n5;\n  n0 -> n5;\n}\n")) << dot;
}

}  // namespace
}  // namespace tarnvel

#include "optimizer/op_id_map.hpp"

#include <string>

#include "gtest/gtest.h"

namespace tarnvel {
namespace {

// Both layouts must answer alike: the dense one for a table small beside the graph, the sparse one
// for a small graph over a large table (ids far beyond the graph's size).
TEST(OpIdMapTest, DenseAndSparseLayoutsAnswerAlike) {
  for (const auto& [table_size, graph_size] :
       {std::pair<std::size_t, std::size_t>{100, 50}, {1'000'000'000, 2}}) {
    SCOPED_TRACE(table_size);
    OpIdMap<std::string> map(table_size, graph_size);
    const OpId far = static_cast<OpId>(table_size - 1);
    EXPECT_EQ(map.find(0), nullptr);
    EXPECT_EQ(map.find(far), nullptr);
    EXPECT_EQ(map.emplace(far, "last"), "last");
    EXPECT_EQ(map.emplace(0, "first"), "first");
    ASSERT_NE(map.find(far), nullptr);
    EXPECT_EQ(*map.find(far), "last");
    EXPECT_EQ(*map.find(0), "first");
    EXPECT_EQ(map.find(1), nullptr);
  }
}

}  // namespace
}  // namespace tarnvel

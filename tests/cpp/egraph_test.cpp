#include "egraph/egraph.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "support/fault.hpp"
#include "test_random.hpp"

namespace tarnvel::egraph {
namespace {

class EgraphTest : public ::testing::Test {
 protected:
  Id add(std::string_view op, std::initializer_list<Id> children = {}) {
    SymbolNode node{graph.symbols().intern(op), SymbolNode::Children(children)};
    const Id id = graph.add(node);
    if (id == added.size()) added.push_back(std::move(node));
    return graph.find(id);
  }

  EGraph graph;
  std::vector<SymbolNode> added;  // by id: the e-node each id was created with
};

TEST_F(EgraphTest, AddingAnEqualNodeReturnsTheExistingClass) {
  const Id a = add("a");
  const Id f = add("f", {a});
  const std::size_t size = graph.total_size();
  EXPECT_EQ(add("f", {a}), f);
  EXPECT_EQ(graph.total_size(), size);
  EXPECT_EQ(graph.number_of_classes(), 2u);
}

TEST_F(EgraphTest, RebuildRestoresCongruence) {
  const Id a = add("a");
  const Id b = add("b");
  const Id fa = add("f", {a});
  const Id fb = add("f", {b});
  graph.rebuild();
  ASSERT_NE(graph.find(fa), graph.find(fb));

  EXPECT_TRUE(graph.union_(a, b));
  EXPECT_EQ(graph.rebuild(), 1u);  // f(a) = f(b) by congruence
  EXPECT_EQ(graph.find(fa), graph.find(fb));
  EXPECT_EQ(graph[fa].nodes.size(), 1u);  // the two forms are one e-node now
  EXPECT_EQ(graph.lookup(SymbolNode{graph.symbols().intern("f"), {b}}), graph.find(fa));
  graph.verify();
}

TEST_F(EgraphTest, UnionKeepsTheClassWithMoreUsesAndTheFirstOnATie) {
  const Id a = add("a");
  const Id b = add("b");
  graph.union_(a, b);
  EXPECT_EQ(graph.find(b), a) << "equal uses (none): the first argument's root wins";

  const Id c = add("c");
  const Id d = add("d");
  add("f", {d});
  graph.union_(c, d);
  EXPECT_EQ(graph.find(c), d) << "d has one use, c none";
}

TEST_F(EgraphTest, UnionOfAClassWithItselfChangesNothingButStaysDirty) {
  const Id a = add("a");
  graph.rebuild();
  ASSERT_TRUE(graph.is_clean());
  EXPECT_FALSE(graph.union_(a, a));
  EXPECT_FALSE(graph.is_clean());
  EXPECT_EQ(graph.number_of_classes(), 1u);
}

TEST_F(EgraphTest, TotalSizeCountsOutdatedForms) {
  const Id a = add("a");
  const Id b = add("b");
  add("f", {a});
  add("f", {b});
  graph.union_(a, b);
  graph.rebuild();
  std::size_t distinct = 0;
  for (Id id = 0; id < graph.id_count(); ++id) {
    if (graph.is_root(id)) distinct += graph[id].nodes.size();
  }
  EXPECT_EQ(distinct, 3u);           // a, b, f(root)
  EXPECT_EQ(graph.total_size(), 4u);  // f(a) and f(b) both stay in memo
  EXPECT_EQ(graph.number_of_classes(), 2u);
}

TEST_F(EgraphTest, AChildUsedTwiceIsRecordedTwice) {
  const Id a = add("a");
  const Id f = add("f", {a, a});
  ASSERT_EQ(graph[a].uses.size(), 2u);
  EXPECT_EQ(graph[a].uses[0], f);
  EXPECT_EQ(graph[a].uses[1], f);
}

// A pooled node list keeps its range's room when the rebuild drops its duplicates, so a merge that
// fits that room appends in place instead of moving both lists to a new range.
TEST_F(EgraphTest, AMergeFillsTheRoomARebuildLeftInAPooledList) {
  const Id a = add("a");
  const Id b = add("b");
  const Id c = add("c");
  const Id joined = add("f", {a});
  for (const Id other : {add("f", {b}), add("f", {c}), add("s"), add("t")})
    graph.union_(joined, other);  // five nodes, in a range with room for eight
  const Id u = add("u");
  graph.union_(u, add("v"));
  graph.union_(a, b);
  graph.union_(a, c);
  graph.rebuild();
  ASSERT_EQ(graph[joined].nodes.size(), 3u);  // f(a), s, t
  const SymbolNode* range = graph[joined].nodes.data();

  graph.union_(joined, u);
  graph.rebuild();
  EXPECT_EQ(graph[joined].nodes.data(), range);
  EXPECT_EQ(graph[joined].nodes.size(), 5u);
  graph.verify();
}

// Narrow keys live in the table's slots, wide ones in its arena; both must survive every growth,
// and an entry found again must hand back the id stored for it, for the caller to overwrite. A
// memo reserved small starts in one shared block, which its segments then outgrow one by one.
TEST(MemoTest, KeysOfEveryWidthSurviveGrowth) {
  for (const std::size_t reserved : {0, 3, 700}) {
    Memo memo;
    memo.reserve(reserved);
    const auto key = [](std::uint32_t i) {  // distinct keys of 0 to 4 children over 7 operators
      SymbolNode node{Symbol{i % 7}, {}};
      for (std::uint32_t k = 0; k < i % 5; ++k) node.children.push_back(i / 35 + k);
      if (i % 5 == 0) node.op = Symbol{i};
      return node;
    };
    constexpr std::uint32_t kKeys = 5000;
    for (std::uint32_t i = 0; i < kKeys; ++i) {
      const auto [id, inserted] = memo.insert(key(i), i);
      ASSERT_TRUE(inserted) << i << " reserved " << reserved;
      EXPECT_EQ(*id, i);
    }
    EXPECT_EQ(memo.size(), kKeys);
    for (std::uint32_t i = 0; i < kKeys; ++i) {
      ASSERT_EQ(memo.find(key(i)), i) << i;
      const auto [id, inserted] = memo.insert(key(i), kKeys + i);
      ASSERT_FALSE(inserted);
      *id = kKeys + i;
    }
    EXPECT_EQ(memo.size(), kKeys);
    EXPECT_EQ(memo.find(key(4)), kKeys + 4);
    EXPECT_EQ(memo.find(SymbolNode{Symbol{1}, {1, 2, 3, 4, 5}}), std::nullopt);
    EXPECT_EQ(memo.find(SymbolNode{Symbol{1u << 30}, {}}), std::nullopt)
        << "a symbol too big for a slot";
    EXPECT_TRUE(memo.insert(SymbolNode{Symbol{1u << 30}, {}}, 9).second);
    EXPECT_EQ(memo.find(SymbolNode{Symbol{1u << 30}, {}}), 9u);
  }
}

TEST_F(EgraphTest, UnknownIdsAreInternalFaults) {
  add("a");
  try {
    (void)graph[7];
    ADD_FAILURE() << "indexed a class that does not exist";
  } catch (const InternalFault& fault) {
    EXPECT_STREQ(fault.what(), "Invalid id 7");
  }
  EXPECT_THROW(graph.add(SymbolNode{graph.symbols().intern("f"), {3}}), InternalFault);
}

// Random adds, unions and rebuilds, checked against a naive congruence closure computed from the
// forms as added: the partitions must agree (no merge missed, none invented) and every invariant
// must hold after each rebuild, whichever classes the narrowed rebuild chose to revisit.
TEST_F(EgraphTest, RandomHistoriesMatchANaiveCongruenceClosure) {
  TestRandom random;
  const auto next = [&](std::uint64_t bound) { return static_cast<Id>(random.below(bound)); };
  std::vector<std::pair<Id, Id>> unions;
  std::size_t congruences = 0;
  for (int round = 0; round < 40; ++round) {
    for (int step = 0; step < 25; ++step) {
      const Id ids = static_cast<Id>(graph.id_count());
      // Children drawn mostly from the first ids, so that merges make many terms congruent.
      const auto child = [&] { return next(3) == 0 ? next(ids) : next(std::min<Id>(ids, 24)); };
      const Id choice = ids < 2 ? 0 : next(40);
      if (choice < 6) {
        add("leaf" + std::to_string(next(30)));
      } else if (choice < 18) {
        add("g", {child()});
      } else if (choice < 34) {
        add("f", {child(), child()});
      } else if (choice < 38) {
        add("h", {child(), child(), child()});  // wider than a memo slot holds
      } else {
        unions.emplace_back(child(), next(ids));
        graph.union_(unions.back().first, unions.back().second);
      }
    }
    const std::size_t before = graph.number_of_classes();
    const std::size_t merges = graph.rebuild();
    congruences += merges;
    EXPECT_EQ(before - merges, graph.number_of_classes());
    graph.verify();
  }

  const std::size_t n = graph.id_count();
  std::vector<Id> parent(n);
  for (Id id = 0; id < n; ++id) parent[id] = id;
  const auto root = [&](Id id) {
    while (parent[id] != id) id = parent[id];
    return id;
  };
  const auto merge = [&](Id x, Id y) {
    x = root(x);
    y = root(y);
    if (x == y) return false;
    parent[std::max(x, y)] = std::min(x, y);
    return true;
  };
  for (auto [x, y] : unions) merge(x, y);
  for (bool changed = true; changed;) {
    changed = false;
    for (Id i = 0; i < n; ++i) {
      for (Id j = i + 1; j < n; ++j) {
        SymbolNode left = added[i];
        SymbolNode right = added[j];
        for (Id& child : left.children) child = root(child);
        for (Id& child : right.children) child = root(child);
        if (left == right && merge(i, j)) changed = true;
      }
    }
  }
  for (Id i = 0; i < n; ++i) {
    for (Id j = i + 1; j < n; ++j) {
      ASSERT_EQ(root(i) == root(j), graph.find(i) == graph.find(j)) << "ids " << i << ", " << j;
    }
  }
}

// Rebuild work around a wide node: one e-node reads n pairs neg(x + y_i), neg(y_i + x), which
// become equal only by congruence once each pair of sums is merged. Every congruence merge queues
// the wide node again; it must still be re-entered once per round, not once per merge.
struct WideShape {
  std::size_t memo_growth;       // memo entries the rebuild made
  std::size_t repaired_children;  // children its repairs canonicalized
  std::size_t merges;
};

}  // namespace

struct EGraphWork {
  static std::size_t repaired_children(const EGraph& graph) { return graph.repaired_children_; }
};

namespace {

WideShape rebuild_wide_shape(std::uint32_t n) {
  EGraph graph;
  const auto add = [&](std::string_view op, std::initializer_list<Id> children) {
    return graph.add(SymbolNode{graph.symbols().intern(op), SymbolNode::Children(children)});
  };
  const Id x = add("x", {});
  std::vector<Id> reads;
  std::vector<std::pair<Id, Id>> sums;
  for (std::uint32_t i = 0; i < n; ++i) {
    const Id y = add("y" + std::to_string(i), {});
    const Id left = add("add", {x, y});
    const Id right = add("add", {y, x});
    sums.emplace_back(left, right);
    reads.push_back(add("neg", {left}));
    reads.push_back(add("neg", {right}));
  }
  SymbolNode wide{graph.symbols().intern("exch"), {}};
  for (Id read : reads) wide.children.push_back(read);
  graph.add(std::move(wide));
  graph.rebuild();
  for (const auto& [left, right] : sums) graph.union_(left, right);
  const std::size_t before = graph.total_size();
  const std::size_t children_before = EGraphWork::repaired_children(graph);
  const std::size_t merges = graph.rebuild();
  graph.verify();
  return {graph.total_size() - before, EGraphWork::repaired_children(graph) - children_before,
          merges};
}

TEST(EgraphRebuildWorkTest, AWideNodeIsReenteredOncePerRoundNotOncePerMerge) {
  const WideShape small = rebuild_wide_shape(500);
  EXPECT_EQ(small.merges, 500u);       // each pair of negations, by congruence
  EXPECT_EQ(small.memo_growth, 1u);    // one new form of the wide node, none of the negations
  EXPECT_LE(small.repaired_children, 500u + 1000u);  // each negation once, the wide node once
}

TEST(EgraphRebuildWorkTest, RebuildWorkGrowsLinearlyWithTheWidth) {
  const WideShape small = rebuild_wide_shape(1000);
  const WideShape large = rebuild_wide_shape(2000);
  // Twice the width: twice the work when linear, four times when the wide node is re-entered
  // once per merge.
  EXPECT_LE(large.repaired_children, 2 * small.repaired_children + 2);
  EXPECT_LE(large.memo_growth, 2 * small.memo_growth);
}

}  // namespace
}  // namespace tarnvel::egraph

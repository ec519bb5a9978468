#include <new>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "gtest/gtest.h"
#include "node_builders.hpp"
#include "store/graph_store.hpp"
#include "store/node_index.hpp"
#include "support/fault.hpp"
#include "support/seeded_hash.hpp"

namespace tarnvel {
namespace {

TEST(GraphStoreTest, InterningReturnsExistingIds) {
  GraphStore store;
  EXPECT_EQ(store.intern(source("x")), 0u);
  EXPECT_EQ(store.intern(source("y")), 1u);
  EXPECT_EQ(store.intern(op("add", {0, 1})), 2u);
  EXPECT_EQ(store.intern(source("x")), 0u);
  EXPECT_EQ(store.intern(op("add", {0, 1})), 2u);
  EXPECT_EQ(store.node_count(), 3u);
}

TEST(GraphStoreTest, RefusesReferencesToMissingNodesBeforeLookup) {
  GraphStore store;
  for (const char* name : {"a", "b", "c", "d", "e"}) ASSERT_TRUE(store.intern(source(name)));
  const std::size_t operators = store.nodes_view().ops().size();
  EXPECT_EQ(store.intern(op("f", {0, 7, 9})).error(), BadNodeId{7});
  EXPECT_EQ(store.intern(op("f", {5})).error(), BadNodeId{5});
  EXPECT_EQ(store.node_count(), 5u);
  EXPECT_EQ(store.nodes_view().ops().size(), operators) << "a refused key adds no operator";
}

TEST(GraphStoreTest, AViewInternsAsItsKey) {
  GraphStore store;
  ASSERT_TRUE(store.intern(source("x")));
  const ParamView scale[] = {ParamView::of_float("scale", 2.0)};
  const NodeId inputs[] = {0, 0};
  const KeyView view{NodeKind::Op, "mul", scale, inputs};
  EXPECT_EQ(store.intern(view), 1u);
  EXPECT_EQ(store.intern(NodeKey(view)), 1u);
  EXPECT_EQ(store.snapshot().nodes[1], NodeKey(view));
  const NodeId missing[] = {0, 2};
  EXPECT_EQ(store.intern(KeyView{NodeKind::Op, "mul", scale, missing}).error(), BadNodeId{2});
  EXPECT_EQ(store.node_count(), 2u);
}

TEST(GraphStoreTest, MarksAreDistinctInFirstMarkOrder) {
  GraphStore store;
  for (const char* name : {"a", "b", "c"}) ASSERT_TRUE(store.intern(source(name)));
  for (NodeId id : {2, 0, 2, 2}) ASSERT_TRUE(store.mark_output(id));
  EXPECT_EQ(store.outputs(), (std::vector<NodeId>{2, 0}));
  EXPECT_EQ(store.mark_output(3).error(), BadNodeId{3});
  EXPECT_EQ(store.node(0)->node().key(), source("a"));
  EXPECT_TRUE(store.node(0)->output);
  EXPECT_FALSE(store.node(1)->output);
  EXPECT_EQ(store.node(3).error(), BadNodeId{3});
}

// A batch interns and marks as single calls do, and a thrown error keeps what came before it.
TEST(GraphStoreTest, ABatchInternsAsSingleCallsDo) {
  GraphStore store;
  ASSERT_TRUE(store.intern(source("x")));
  std::vector<std::expected<NodeId, BadNodeId>> ids;
  store.batch([&](GraphStore::Batch& batch) {
    ids.push_back(batch.intern(source("y")));
    ids.push_back(batch.intern(op("add", {0, 1})));
    ids.push_back(batch.intern(source("x")));
    ids.push_back(batch.intern(op("add", {0, 5})));
    EXPECT_EQ(batch.mark_output(3).error(), BadNodeId{3});
    EXPECT_TRUE(batch.mark_output(1));
  });
  EXPECT_EQ(ids, (std::vector<std::expected<NodeId, BadNodeId>>{1u, 2u, 0u,
                                                                std::unexpected(BadNodeId{5})}));
  EXPECT_EQ(store.intern(op("add", {0, 1})), 2u);
  EXPECT_EQ(store.outputs(), std::vector<NodeId>{1});

  EXPECT_THROW(store.batch([](GraphStore::Batch& batch) {
    ASSERT_TRUE(batch.intern(source("z")));
    throw std::bad_alloc();
  }),
               std::bad_alloc);
  EXPECT_EQ(store.node_count(), 4u);  // not poisoned: the store still answers
}

// A table names a member by its operator's id when the member's text is that operator's token,
// and keeps any other text; owned copies spell members back as they came in.
TEST(GraphStoreTest, AStageMemberTokenNamesTheOperatorItSpells) {
  GraphStore store;
  ASSERT_TRUE(store.intern(source("x")));
  const StageRefs reads_input = {StageRef::input(0)};
  const std::size_t operators = store.nodes_view().ops().size();
  EXPECT_EQ(store.intern(stage({1}, {StageOp{"op|neg", reads_input}})).error(), BadNodeId{1});
  EXPECT_EQ(store.nodes_view().ops().size(), operators) << "a refused key adds no operator";

  const NodeId by_token = *store.intern(stage({0}, {StageOp{"op|neg", reads_input}}));
  const NodesView view = store.nodes_view();
  const OpId* neg = view[by_token].members()[0].id();
  ASSERT_NE(neg, nullptr);
  EXPECT_EQ(view.ops()[*neg].token(), "op|neg");
  EXPECT_EQ(store.intern(stage({0}, {StageOp{*neg, reads_input}})), by_token);
  // Read as neg's token but not written as one: another member, kept as text.
  const NodeId by_text = *store.intern(stage({0}, {StageOp{"op|neg|", reads_input}}));
  EXPECT_NE(by_text, by_token);
  EXPECT_EQ(*store.nodes_view()[by_text].members()[0].text(), Text("op|neg|"));
  const std::vector<NodeKey> nodes = store.snapshot().nodes;
  EXPECT_EQ(nodes[by_token], stage({0}, {StageOp{"op|neg", reads_input}}));
  EXPECT_EQ(nodes[by_text], stage({0}, {StageOp{"op|neg|", reads_input}}));
}

TEST(GraphStoreTest, SnapshotsCopy) {
  GraphStore store;
  EXPECT_TRUE(store.node_map().empty());
  // Cross a chunk boundary so that copies span several chunks.
  for (int i = 0; i < 2500; ++i)
    ASSERT_EQ(store.intern(source(std::to_string(i).c_str())), NodeId(i));
  EXPECT_EQ(store.snapshot().nodes.size(), 2500u);
  EXPECT_EQ(store.snapshot_from(2490).size(), 10u);
  EXPECT_EQ(store.snapshot_from(2490)[0], source("2490"));
  EXPECT_TRUE(store.snapshot_from(9999).empty());
  const NodeId ok[] = {2499, 0};
  EXPECT_EQ(store.arena_holding(ok)->size(), 2500u);
  const NodeId bad[] = {1, 2500, 9000};
  EXPECT_EQ(store.arena_holding(bad).error(), BadNodeId{2500});
}

// Equal hashes crowd one segment and one home bucket, and the last bucket's probes wrap around to
// the first; every entry must stay findable through growth, and only where `same` accepts it.
TEST(NodeMapEntryTest, PacksEveryLandingAndRefusesWhatDoesNotFit) {
  constexpr std::uint64_t kLargest = 0xFFFFFFFDu;  // the largest member index that fits
  for (const Landing landing :
       {Landing{0, std::nullopt}, Landing{0, 0}, Landing{7, 3}, Landing{0xFFFFFFFEu, kLargest}}) {
    const NodeMapEntry entry = landing;
    ASSERT_TRUE(entry.has_value());
    EXPECT_EQ(*entry, landing);
    EXPECT_EQ(entry->node, landing.node);
    EXPECT_EQ(entry->member, landing.member);
  }
  EXPECT_FALSE(NodeMapEntry().has_value());
  EXPECT_EQ(NodeMapEntry(std::nullopt), NodeMapEntry());
  EXPECT_NE(NodeMapEntry(Landing{1, std::nullopt}), NodeMapEntry(Landing{1, 0}));
  EXPECT_THROW(NodeMapEntry(Landing{0xFFFFFFFFu, std::nullopt}), InternalFault);
  EXPECT_THROW(NodeMapEntry(Landing{0, kLargest + 1}), InternalFault);
}

TEST(NodeIndexTest, CrowdedAndWrappingProbesFindEveryEntry) {
  for (const std::uint32_t hash : {0x12345678u, 0xFFFFFFFFu}) {
    NodeIndex index;
    constexpr std::uint32_t kCount = 1000;
    for (std::uint32_t id = 0; id < kCount; ++id) {
      EXPECT_FALSE(index.find(hash, [&](std::uint32_t) { return false; }));
      EXPECT_EQ(
          index.find_or_add(hash, [](std::uint32_t) { return false; }, [&] { return id; }), id);
    }
    for (std::uint32_t id = 0; id < kCount; ++id) {
      EXPECT_EQ(index.find(hash, [&](std::uint32_t candidate) { return candidate == id; }), id);
    }
    EXPECT_FALSE(index.find(hash ^ 1, [](std::uint32_t) { return true; }));
  }
}

TEST(GraphStoreConcurrentTest, EqualKeysFromManyThreadsGetOneDenseId) {
  GraphStore store;
  constexpr int kThreads = 8, kKeys = 2000;
  std::vector<std::vector<NodeId>> seen(kThreads, std::vector<NodeId>(kKeys));
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kKeys; ++i) {
        // Each thread walks every key in its own order: the strides are coprime to kKeys.
        constexpr int kStrides[kThreads] = {1, 3, 7, 9, 11, 13, 17, 19};
        const int k = (i * kStrides[t] + t * 37) % kKeys;
        seen[t][k] = *store.intern(source(std::to_string(k).c_str()));
        if (k % 10 == 0) {
          store.mark_output(seen[t][k]).value();
          (void)store.snapshot_from(store.node_count() / 2);
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(store.node_count(), NodeId(kKeys));
  for (int t = 1; t < kThreads; ++t) EXPECT_EQ(seen[t], seen[0]);
  const Snapshot snapshot = store.snapshot();
  for (int k = 0; k < kKeys; ++k)
    EXPECT_EQ(snapshot.nodes[seen[0][k]], source(std::to_string(k).c_str()));
  EXPECT_EQ(snapshot.outputs.size(), NodeId(kKeys / 10));
}

// Views are read without the lock while other threads record: each node a view covers is the one
// recorded under its id, whatever is appended meanwhile (chunks never move).
TEST(GraphStoreConcurrentTest, ViewsReadWithoutTheLockWhileOthersRecord) {
  GraphStore store;
  constexpr int kWriters = 3, kKeys = 6000;
  std::vector<std::thread> writers;
  for (int t = 0; t < kWriters; ++t) {
    writers.emplace_back([&, t] {
      for (int k = t; k < kKeys; k += kWriters)
        store.intern(NodeKey::source(Text(std::to_string(k)), {})).value();
    });
  }
  std::vector<std::string> names;  // by id, as views read them
  while (names.size() < kKeys) {
    const GraphStore::View view = store.view();
    for (NodeId id = names.size(); id < view.nodes.size(); ++id)
      names.emplace_back(view.nodes[id].name());
  }
  for (auto& writer : writers) writer.join();
  const std::vector<NodeKey> nodes = store.snapshot().nodes;
  ASSERT_EQ(nodes.size(), names.size());
  for (NodeId id = 0; id < nodes.size(); ++id) EXPECT_EQ(nodes[id].name(), names[id]);
}

// Keys that share the top bits of their hash under one seed (and so crowd one segment of a table)
// are spread out under another: collisions cannot be prepared without knowing the process's seed.
TEST(SeededHasherTest, KeysCrowdedUnderOneSeedSpreadUnderAnother) {
  const auto hash = [](std::uint64_t seed, std::uint64_t key) {
    SeededHasher hasher(seed);
    hasher.word(key);
    hasher.word(key >> 7);
    return hasher.finish();
  };
  constexpr std::uint64_t kSeed = 0x1234'5678'9ABCULL;
  std::vector<std::uint64_t> crowded;
  for (std::uint64_t key = 0; crowded.size() < 64; ++key) {
    if (hash(kSeed, key) >> 58 == 0) crowded.push_back(key);
  }
  std::set<std::uint64_t> segments;
  for (std::uint64_t key : crowded) segments.insert(hash(kSeed ^ 0x40'0000ULL, key) >> 58);
  EXPECT_GE(segments.size(), 24u) << "64 keys over 64 segments land in about 40 of them";
  EXPECT_NE(SeededHasher().finish(), SeededHasher(kSeed).finish());
}

// Children go into the hash two to a word with an odd one alone: every child, the count and the
// operator must reach it, or keys that differ in one of them would always share a slot.
TEST(SeededHasherTest, NodeHashTellsApartKeysThatDifferInAnyPart) {
  std::set<std::uint64_t> hashes;
  std::size_t keys = 0;
  std::vector<std::uint32_t> children;
  for (std::uint32_t op : {0u, 1u, 1u << 31}) {
    for (std::size_t count = 0; count <= 5; ++count) {
      for (std::uint32_t pick = 0; pick < (1u << (2 * count)); ++pick) {
        children.clear();  // each child one of 0, 1, 2^31, 2^32 - 1
        for (std::size_t k = 0; k < count; ++k) {
          const std::uint32_t choice = pick >> (2 * k) & 3;
          children.push_back(choice < 2 ? choice : choice == 2 ? 1u << 31 : ~0u);
        }
        hashes.insert(node_hash(op, std::span<const std::uint32_t>(children)));
        ++keys;
      }
    }
  }
  EXPECT_EQ(hashes.size(), keys);
}

TEST(GraphStoreTest, ManyMarksStayDistinctAndInOrder) {
  GraphStore store;
  for (int i = 0; i < 3000; ++i)
    ASSERT_TRUE(store.intern(NodeKey::source(Text("s" + std::to_string(i)), {})));
  std::vector<NodeId> expected;
  for (int id = 2999; id >= 0; id -= 3)
    expected.push_back(static_cast<NodeId>(id));  // largest first
  for (int round = 0; round < 2; ++round) {
    for (NodeId id : expected) ASSERT_TRUE(store.mark_output(id));
  }
  EXPECT_EQ(store.outputs(), expected);
  const std::string dot = store.to_dot();
  std::size_t doubled = 0;
  for (std::size_t at = dot.find("doublecircle"); at != std::string::npos;
       at = dot.find("doublecircle", at + 1))
    ++doubled;
  EXPECT_EQ(doubled, expected.size());
}

// A view taken before more nodes are recorded keeps reading the nodes it covers.
TEST(GraphStoreTest, AViewCoversTheNodesOfItsTimeWhileTheStoreGrows) {
  GraphStore store;
  for (int i = 0; i < 1500; ++i)
    ASSERT_TRUE(store.intern(NodeKey::source(Text("s" + std::to_string(i)), {})));
  ASSERT_TRUE(store.mark_output(7));
  const GraphStore::View view = store.view();
  for (int i = 1500; i < 5000; ++i)
    ASSERT_TRUE(store.intern(NodeKey::source(Text("s" + std::to_string(i)), {})));
  ASSERT_TRUE(store.mark_output(4000));
  ASSERT_EQ(view.nodes.size(), 1500u);
  EXPECT_EQ(view.outputs, std::vector<NodeId>{7});
  const std::vector<NodeKey> nodes = store.snapshot().nodes;
  for (NodeId id = 0; id < view.nodes.size(); ++id) ASSERT_EQ(view.nodes[id].key(), nodes[id]);
}

}  // namespace
}  // namespace tarnvel

#include "support/interruption.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "optimizer/incremental.hpp"
#include "optimizer/pipeline.hpp"
#include "optimizer/saturation_engine.hpp"
#include "serialize/blob.hpp"
#include "store/graph_store.hpp"
#include "support/guarded_mutex.hpp"

namespace tarnvel {
namespace {

// Counts the times it is asked and asks to stop from the `stop_at`-th time on.
struct CountingCheck final : InterruptionCheck {
  explicit CountingCheck(std::size_t stop_at_call) : stop_at(stop_at_call) {}
  bool stop_requested() override { return ++calls >= stop_at; }
  std::size_t stop_at;
  std::size_t calls = 0;
};

// Enough work to reach the check many times over: each unit is counted once.
void work(std::size_t units) {
  for (std::size_t i = 0; i < units; ++i) note_work();
}
constexpr std::size_t kManyChecks = 64 * (std::size_t{1} << 15);

TEST(InterruptionTest, LongWorkAsksTheCheckEveryFewThousandUnitsAndStopsWhenItSaysSo) {
  CountingCheck never(~std::size_t{0});
  {
    InterruptionScope scope(never);
    work(kManyChecks);
  }
  EXPECT_GE(never.calls, 60u);
  EXPECT_LE(never.calls, 66u);
  CountingCheck third(3);
  InterruptionScope scope(third);
  EXPECT_THROW(work(kManyChecks), Interrupted);
  EXPECT_EQ(third.calls, 3u);
}

// The check may run host code (a Python signal handler), which must never run while this thread
// holds the lock of an object others can reach; an object still being built is not such an object.
TEST(InterruptionTest, TheCheckIsNeverAskedUnderTheLockOfASharedObject) {
  CountingCheck first(1);
  InterruptionScope scope(first);
  GuardedMutex mutex("poisoned");
  mutex.with_lock([] { work(kManyChecks); });
  EXPECT_EQ(first.calls, 0u);
  EXPECT_FALSE(mutex.poisoned());
  EXPECT_THROW(mutex.with_lock([] { work(kManyChecks); }, true, GuardedMutex::Reach::Unshared),
               Interrupted);
  EXPECT_EQ(first.calls, 1u);
  UninterruptibleScope held;
  work(kManyChecks);
  EXPECT_EQ(first.calls, 1u);
}

// A store of a long chain; its reduction, cone, blob, DOT and reading back all take many checks.
class InterruptedCallTest : public ::testing::Test {
 protected:
  void SetUp() override {
    NodeId head = *store.intern(NodeKey::source("x", {}));
    for (int i = 0; i < 200'000; ++i)
      head = *store.intern(NodeKey::op(i % 2 ? "neg" : "abs", {}, {head}));
    ASSERT_TRUE(store.mark_output(head));
    blob = *serialize_with(store, store.outputs());
  }
  // The state a caller can see, to compare before and after an interrupted call.
  std::string state() const { return *serialize_with(store, store.outputs()) + store.to_dot(); }

  GraphStore store;
  std::string blob;
};

TEST_F(InterruptedCallTest, EveryLongCallStopsAndLeavesTheStoreAsItWas) {
  const std::string before = state();
  const SaturationEngine engine;
  const auto interrupted = [&](auto call) {
    CountingCheck first(1);
    InterruptionScope scope(first);
    EXPECT_THROW(call(), Interrupted);
    EXPECT_EQ(first.calls, 1u);
  };
  interrupted([&] { reduce_with(store, engine, false); });
  interrupted([&] { (void)cone(store, store.outputs()); });
  interrupted([&] { (void)serialize_with(store, store.outputs()); });
  interrupted([&] { (void)store.to_dot(); });
  interrupted([&] { (void)deserialize(blob); });
  EXPECT_EQ(state(), before);
  // Nothing was poisoned: the same calls succeed afterwards.
  EXPECT_EQ(reduce_with(store, engine, false).first->node_count(), 2u);
  EXPECT_EQ(*serialize_with(*deserialize(blob).value(), store.outputs()), blob);
}

// What a finalize gives, comparable across reducers.
std::string finalized(SharedReducer& reducer, const GraphStore& store,
                      const RewriteEngine& engine) {
  auto reduced = reducer.finalize(store, store.outputs(), engine, false);
  EXPECT_TRUE(reduced.has_value());
  const ReductionReport& report = reduced->second;
  return *serialize_with(*reduced->first, reduced->first->outputs()) +
         std::to_string(report.input_nodes) + "/" + std::to_string(report.reachable_nodes) + "/" +
         std::to_string(report.reduced_nodes);
}

// A shared reducer's step stops between batches and keeps those it completed; its finalize stops
// while it reduces and changes nothing. Either way the reducer stays consistent and usable, and a
// later finalize gives what an uninterrupted one gives.
TEST_F(InterruptedCallTest, ASharedReducerStopsBetweenBatchesAndFinishesLaterAsIfNeverStopped) {
  const SaturationEngine engine;
  const std::uint64_t nodes = store.node_count();
  SharedReducer uninterrupted;
  const std::string expected = finalized(uninterrupted, store, engine);

  SharedReducer reducer;
  {
    CountingCheck first(1);
    InterruptionScope scope(first);
    EXPECT_THROW((void)reducer.step(store), Interrupted);
    EXPECT_EQ(first.calls, 1u);
  }
  const SharedReducer::Counters stopped = reducer.counters();
  EXPECT_EQ(stopped.watermark, SharedReducer::kBatchNodes);  // one batch, asked right after it
  EXPECT_EQ(stopped.total_work, stopped.watermark);
  IncrementalReducer prefix;
  ASSERT_TRUE(prefix.step(store.identity(), store.nodes_view(), stopped.watermark).has_value());
  EXPECT_EQ(stopped.canonical_count, prefix.canonical_count());

  // Stopped again inside finalize, once in its step and once while it reduces.
  for (std::size_t stop_at : {1, 3}) {
    const SharedReducer::Counters before = reducer.counters();
    CountingCheck check(stop_at);
    InterruptionScope scope(check);
    EXPECT_THROW((void)reducer.finalize(store, store.outputs(), engine, false), Interrupted);
    const SharedReducer::Counters after = reducer.counters();
    EXPECT_GT(after.watermark, before.watermark);
    EXPECT_EQ(after.total_work, after.watermark);
  }
  EXPECT_EQ(reducer.counters().watermark, nodes);  // the last stop came after the step
  EXPECT_EQ(reducer.step(store), 0u);
  EXPECT_EQ(finalized(reducer, store, engine), expected);
}

// The check may run host code that uses the very reducer being stepped (a signal handler in the
// binding): it must find the reducer unlocked and consistent every time it is asked.
TEST_F(InterruptedCallTest, ASharedReducerIsUnlockedAndConsistentWheneverTheCheckIsAsked) {
  struct ReadingCheck final : InterruptionCheck {
    ReadingCheck(SharedReducer& shared, std::uint64_t nodes)
        : reducer(shared), store_nodes(nodes) {}
    bool stop_requested() override {
      const SharedReducer::Counters counters = reducer.counters();  // would self-deadlock if held
      consistent = consistent && counters.total_work == counters.watermark &&
                   (counters.watermark % SharedReducer::kBatchNodes == 0 ||
                    counters.watermark == store_nodes);
      return ++calls == 4;  // three times between batches, then while it reduces
    }
    SharedReducer& reducer;
    std::uint64_t store_nodes;
    bool consistent = true;
    std::size_t calls = 0;
  };
  const SaturationEngine engine;
  SharedReducer reducer;
  ReadingCheck check(reducer, store.node_count());
  InterruptionScope scope(check);
  EXPECT_THROW((void)reducer.finalize(store, store.outputs(), engine, false), Interrupted);
  EXPECT_EQ(check.calls, 4u);
  EXPECT_TRUE(check.consistent);
  EXPECT_EQ(reducer.counters().watermark, store.node_count());
}

}  // namespace
}  // namespace tarnvel

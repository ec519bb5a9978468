#include "support/interruption.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

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
    for (int i = 0; i < 200'000; ++i) head = *store.intern(NodeKey::op(i % 2 ? "neg" : "abs", {}, {head}));
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

}  // namespace
}  // namespace tarnvel

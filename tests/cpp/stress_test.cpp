// Concurrency stress of the core from std::threads, written for ThreadSanitizer (`make tsan` runs
// every test whose name holds "Concurrent"). The binding keeps each incremental reducer in a
// SharedReducer, which steps in small batches under its own lock and finalizes with it released;
// other tests serialize a plain IncrementalReducer with a std::mutex and take a store's lock inside
// it (the two-lock path), while batch reductions of a growing store and blob round trips run at
// once. Results are checked against the same calls repeated once the threads are done.
#include <algorithm>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "gtest/gtest.h"
#include "node_builders.hpp"
#include "optimizer/incremental.hpp"
#include "optimizer/pipeline.hpp"
#include "optimizer/saturation_engine.hpp"
#include "serialize/blob.hpp"
#include "support/fault.hpp"
#include "support/guarded_mutex.hpp"

namespace tarnvel {
namespace {

// A program over three sources in which commuted twins, identities and boundaries are frequent;
// node k reads only nodes below k, so recording it in order gives node k the id k.
std::vector<NodeKey> program(std::size_t size) {
  std::vector<NodeKey> nodes = {NodeKey::source("x", {}), NodeKey::source("y", {}),
                                NodeKey::source("z", {})};
  for (std::size_t k = nodes.size(); nodes.size() < size; ++k) {
    const NodeId a = (k * 7919) % k, b = k - 1 - (k % 3);
    switch (k % 8) {
      case 0: nodes.push_back(NodeKey::op("add", {}, {a, b})); break;
      case 1: nodes.push_back(NodeKey::op("add", {}, {b, a})); break;
      case 2:
        nodes.push_back(NodeKey::op("mul", scalar_params(1.0, k % 16 < 8 ? "r" : "l"), {b}));
        break;
      case 3: nodes.push_back(NodeKey::op("add", scalar_params(0.0, "r"), {b})); break;
      case 4: nodes.push_back(NodeKey::op("neg", {}, {b})); break;
      case 5: nodes.push_back(NodeKey::reduction("sum", {}, {a, b})); break;
      case 6: nodes.push_back(NodeKey::exchange({}, {b})); break;
      default: nodes.push_back(NodeKey::op("sub", {}, {a, b})); break;
    }
  }
  return nodes;
}

std::string blob_of(const GraphStore& store) { return *serialize_with(store, store.outputs()); }

// Publishes that the first `count` nodes exist (a running maximum over several recorders).
void publish(std::atomic<std::uint64_t>& recorded, std::uint64_t count) {
  std::uint64_t seen = recorded.load();
  while (seen < count && !recorded.compare_exchange_weak(seen, count)) {
  }
}

// True when `copy` holds exactly the first nodes of `nodes`.
bool is_prefix(const GraphStore& copy, const std::vector<NodeKey>& nodes) {
  const Snapshot snapshot = copy.snapshot();
  return snapshot.nodes.size() <= nodes.size() &&
         std::equal(snapshot.nodes.begin(), snapshot.nodes.end(), nodes.begin());
}

// What a reduction against fixed outputs gives however far the store has grown since: the reduced
// store's blob and the counters that do not count the input.
struct Outcome {
  std::string blob;
  std::uint64_t reachable, canonical, stages, reduced;
  friend bool operator==(const Outcome&, const Outcome&) = default;
};
Outcome outcome_of(const ReducedStore& reduced) {
  const ReductionReport& r = reduced.second;
  return {blob_of(*reduced.first), r.reachable_nodes, r.canonical_nodes, r.stages, r.reduced_nodes};
}
Outcome outcome_of(Reduced reduced) { return outcome_of(from_reduced(std::move(reduced))); }

struct Finalized {
  NodeId output;
  bool maximal_fusion;
  Outcome outcome;
};

TEST(IncrementalConcurrentTest, StepAndFinalizeUnderTheReducerLockWhileTheStoreGrows) {
  const std::vector<NodeKey> nodes = program(600);
  const SaturationEngine engine;
  GraphStore store;
  IncrementalReducer reducer;
  std::mutex reducer_mutex;  // the binding's per-reducer lock; the store's lock nests inside it
  std::atomic<std::uint64_t> recorded{0};
  std::vector<std::vector<Finalized>> finalized(3);
  std::vector<std::thread> threads;

  for (int t = 0; t < 2; ++t) {
    threads.emplace_back([&] {
      for (std::size_t k = 0; k < nodes.size(); ++k) {
        ASSERT_EQ(store.intern(nodes[k]), NodeId(k));  // both recorders: equal keys, one id
        publish(recorded, k + 1);
      }
    });
  }
  for (int t = 0; t < 2; ++t) {
    threads.emplace_back([&] {
      while (recorded.load() < nodes.size()) {
        std::lock_guard lock(reducer_mutex);
        ASSERT_TRUE(reducer.step(store.identity(), store.nodes_view(), SIZE_MAX).has_value());
        EXPECT_EQ(reducer.total_work(), reducer.watermark());
      }
    });
  }
  for (int t = 0; t < 3; ++t) {
    threads.emplace_back([&, t] {
      // Counts finalizes only, so every thread contributes at least 4 however the start races.
      for (int i = 0; recorded.load() < nodes.size() || i < 4;) {
        const std::uint64_t count = recorded.load();
        if (count == 0) continue;
        const NodeId output = (count * 31 + t) % count;
        std::lock_guard lock(reducer_mutex);
        ASSERT_TRUE(reducer.step(store.identity(), store.nodes_view(), SIZE_MAX).has_value());
        const NodeId outputs[] = {output};
        auto reduced = reducer.finalize(store.identity(), outputs, engine, i % 2 == 1);
        ASSERT_TRUE(reduced.has_value());
        finalized[t].push_back({output, i % 2 == 1, outcome_of(std::move(*reduced))});
        ++i;
      }
    });
  }
  // A batch reduction and a blob of the growing store, outside any reducer lock.
  threads.emplace_back([&] {
    while (recorded.load() < nodes.size()) {
      const std::uint64_t count = recorded.load();
      if (count == 0) continue;
      const NodeId outputs[] = {count / 2};
      ASSERT_TRUE(reduce_with_outputs(store, outputs, engine, false).has_value());
      auto copy = deserialize(*serialize_with(store, outputs));
      ASSERT_TRUE(copy.has_value());
      EXPECT_TRUE(is_prefix(**copy, nodes));
    }
  });
  for (std::thread& thread : threads) thread.join();

  IncrementalReducer fresh;
  ASSERT_EQ(fresh.step(store.identity(), store.nodes_view(), SIZE_MAX), nodes.size());
  reducer.step(store.identity(), store.nodes_view(), SIZE_MAX).value();
  EXPECT_EQ(reducer.watermark(), nodes.size());
  EXPECT_EQ(reducer.total_work(), nodes.size());
  EXPECT_TRUE(std::ranges::equal(reducer.canonical(), fresh.canonical()));
  EXPECT_TRUE(std::ranges::equal(reducer.to_canonical(), fresh.to_canonical()));
  std::size_t checked = 0;
  for (const auto& results : finalized) {
    for (const Finalized& f : results) {
      const NodeId outputs[] = {f.output};
      EXPECT_EQ(outcome_of(*fresh.finalize(store.identity(), outputs, engine, f.maximal_fusion)),
                f.outcome)
          << f.output;
      ++checked;
    }
  }
  EXPECT_GE(checked, 12u);
}

TEST(SharedReducerConcurrentTest,
     BatchedStepsFromManyThreadsConsumeEveryNodeOnceWhileFinalizesRead) {
  const std::vector<NodeKey> nodes = program(700);
  const SaturationEngine engine;
  GraphStore store;
  SharedReducer reducer(/*batch_nodes=*/7);  // many batches per step, so that steps interleave
  std::atomic<std::uint64_t> recorded{0}, consumed{0};
  std::vector<std::vector<Finalized>> finalized(2);
  std::vector<std::thread> threads;
  threads.emplace_back([&] {
    for (std::size_t k = 0; k < nodes.size(); ++k) {
      ASSERT_EQ(store.intern(nodes[k]), NodeId(k));
      publish(recorded, k + 1);
    }
  });
  for (int t = 0; t < 3; ++t) {
    threads.emplace_back([&] {
      while (recorded.load() < nodes.size()) {
        const auto stepped = reducer.step(store);
        ASSERT_TRUE(stepped.has_value());
        consumed.fetch_add(*stepped);
        const SharedReducer::Counters counters = reducer.counters();
        EXPECT_EQ(counters.total_work, counters.watermark);
      }
    });
  }
  for (int t = 0; t < 2; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; recorded.load() < nodes.size() || i < 4; ++i) {
        std::uint64_t count;
        while ((count = recorded.load()) == 0) std::this_thread::yield();
        const NodeId outputs[] = {(count * 13 + t) % count};
        auto reduced = reducer.finalize(store, outputs, engine, i % 2 == 1);
        ASSERT_TRUE(reduced.has_value());
        finalized[t].push_back({outputs[0], i % 2 == 1, outcome_of(*reduced)});
      }
    });
  }
  for (std::thread& thread : threads) thread.join();

  // Finalizes step too without saying how many nodes they consumed, so the counts reported add up
  // to at most the store; a node folded twice would show in the watermark or the canonical form.
  const std::uint64_t rest = reducer.step(store).value();
  const SharedReducer::Counters counters = reducer.counters();
  EXPECT_EQ(counters.watermark, nodes.size());
  EXPECT_EQ(counters.total_work, nodes.size());
  EXPECT_LE(consumed.load() + rest, nodes.size());
  IncrementalReducer fresh;
  ASSERT_EQ(fresh.step(store.identity(), store.nodes_view(), SIZE_MAX), nodes.size());
  EXPECT_EQ(counters.canonical_count, fresh.canonical_count());
  for (const auto& results : finalized) {
    ASSERT_GE(results.size(), 4u);
    for (const Finalized& f : results) {
      const NodeId outputs[] = {f.output};
      EXPECT_EQ(outcome_of(*fresh.finalize(store.identity(), outputs, engine, f.maximal_fusion)),
                f.outcome)
          << f.output;
    }
  }
}

TEST(GraphStoreConcurrentTest, ReductionsConesAndBlobsOfAGrowingStoreMatchTheFinalOnes) {
  const std::vector<NodeKey> nodes = program(800);
  const SaturationEngine engine;
  GraphStore store;
  std::atomic<std::uint64_t> recorded{0};
  struct Seen {
    NodeId output;
    bool maximal_fusion;
    Outcome reduced;
    std::string cone;
  };
  std::vector<std::vector<Seen>> seen(3);
  std::vector<std::thread> threads;
  for (int t = 0; t < 3; ++t) {
    threads.emplace_back([&] {
      for (std::size_t k = 0; k < nodes.size(); ++k) {
        ASSERT_EQ(store.intern(nodes[k]), NodeId(k));
        publish(recorded, k + 1);
      }
    });
  }
  for (int t = 0; t < 3; ++t) {
    threads.emplace_back([&, t] {
      // Counts reductions only, so every thread makes at least 3 however the start races.
      for (int i = 0; recorded.load() < nodes.size() || i < 3; ++i) {
        std::uint64_t count;
        while ((count = recorded.load()) == 0) std::this_thread::yield();
        const NodeId outputs[] = {(count * 17 + t) % count};
        auto reduced = reduce_with_outputs(store, outputs, engine, i % 2 == 0);
        auto coned = cone(store, outputs);
        auto copy = deserialize(*serialize_with(store, outputs));
        ASSERT_TRUE(reduced && coned && copy);
        EXPECT_EQ((*copy)->outputs(), std::vector<NodeId>(std::begin(outputs), std::end(outputs)));
        EXPECT_TRUE(is_prefix(**copy, nodes));
        seen[t].push_back({outputs[0], i % 2 == 0, outcome_of(*reduced), blob_of(**coned)});
      }
    });
  }
  threads.emplace_back([&] {
    while (recorded.load() < nodes.size()) {
      const Snapshot snapshot = store.snapshot();
      for (std::size_t k = 0; k < snapshot.nodes.size(); ++k)
        ASSERT_EQ(snapshot.nodes[k], nodes[k]);
      EXPECT_FALSE(store.to_dot().empty());
    }
  });
  for (std::thread& thread : threads) thread.join();

  ASSERT_EQ(store.node_count(), nodes.size());
  for (const auto& results : seen) {
    ASSERT_FALSE(results.empty());
    for (const Seen& s : results) {
      const NodeId outputs[] = {s.output};
      EXPECT_EQ(outcome_of(*reduce_with_outputs(store, outputs, engine, s.maximal_fusion)),
                s.reduced)
          << s.output;
      EXPECT_EQ(blob_of(**cone(store, outputs)), s.cone) << s.output;
    }
  }
}

TEST(IncrementalConcurrentTest, ReducersOfferedTwoStoresInBothOrdersFollowOneAndNeverDeadlock) {
  // Every reducer is offered both stores in turn, always reducer lock first and the store lock only
  // inside nodes_view: it follows the first store it consumes a node of and refuses the other.
  const std::vector<NodeKey> nodes = program(300);
  const SaturationEngine engine;
  GraphStore stores[2];
  IncrementalReducer reducers[2];
  std::mutex mutexes[2];
  std::atomic<bool> done{false};
  std::vector<std::thread> threads;
  threads.emplace_back([&] {
    for (std::size_t k = 0; k < nodes.size(); ++k) {
      stores[0].intern(nodes[k]).value();
      if (k < nodes.size() / 2) stores[1].intern(nodes[k]).value();
    }
    done.store(true);
  });
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; !done.load() || i < 8; ++i) {
        IncrementalReducer& reducer = reducers[t % 2];
        const GraphStore& store = stores[(t + i) % 2];
        std::lock_guard lock(mutexes[t % 2]);
        const std::uint64_t before = reducer.watermark();
        auto consumed = reducer.step(store.identity(), store.nodes_view(), SIZE_MAX);
        if (!consumed) {
          EXPECT_EQ(consumed.error(), ReducerError(OtherStore{}));
          EXPECT_EQ(reducer.watermark(), before);
          continue;
        }
        EXPECT_TRUE(reducer.watermark() == 0 || reducer.store() == store.identity());
        if (i % 4 == 0 && reducer.watermark() > 0) {
          const NodeId outputs[] = {reducer.watermark() - 1};
          ASSERT_TRUE(reducer.finalize(store.identity(), outputs, engine, false).has_value());
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (IncrementalReducer& reducer : reducers) {
    // A reducer whose every step came before the first node follows no store yet.
    const int followed = reducer.store() == stores[1].identity() ? 1 : 0;
    const GraphStore& store = stores[followed];
    reducer.step(store.identity(), store.nodes_view(), SIZE_MAX).value();
    IncrementalReducer fresh;
    fresh.step(store.identity(), store.nodes_view(), SIZE_MAX).value();
    EXPECT_EQ(reducer.total_work(), store.node_count());
    EXPECT_TRUE(std::ranges::equal(reducer.canonical(), fresh.canonical()));
    const GraphStore& other = stores[1 - followed];
    EXPECT_EQ(reducer.step(other.identity(), other.nodes_view(), SIZE_MAX).error(),
              ReducerError(OtherStore{}));
  }
}

// The contention path the binding relies on: a waiter goes through the installed wait (which the
// binding uses to detach from the interpreter), and a lock whose holder failed stays broken for
// every thread.
struct CountingWait final : ContentionWait {
  std::atomic<int>* entered;
  explicit CountingWait(std::atomic<int>& counter) : entered(&counter) {}
  void wait(void (*block)(void*), void* context) override {
    entered->fetch_add(1);
    block(context);
  }
};

TEST(GuardedMutexConcurrentTest, ContendedWaitersUseTheInstalledWaitAndSeeThePoison) {
  GuardedMutex mutex("stress mutex poisoned");
  std::atomic<int> entered{0};
  constexpr int kWaiters = 4;
  int guarded = 0;
  std::vector<std::thread> waiters;
  std::atomic<bool> holding{false};
  std::thread holder([&] {
    EXPECT_THROW(mutex.with_lock([&] {
      holding.store(true);
      while (entered.load() < kWaiters) std::this_thread::yield();  // every waiter is blocked
      ++guarded;
      throw std::runtime_error("the holder fails");
    }),
                 std::runtime_error);
  });
  while (!holding.load()) std::this_thread::yield();
  std::atomic<int> refused{0};
  for (int t = 0; t < kWaiters; ++t) {
    waiters.emplace_back([&] {
      CountingWait wait(entered);
      ContentionWaitScope scope(wait);
      try {
        mutex.with_lock([&] { ++guarded; });
      } catch (const InternalFault& fault) {
        EXPECT_STREQ(fault.what(), "stress mutex poisoned");
        refused.fetch_add(1);
      }
    });
  }
  holder.join();
  for (std::thread& waiter : waiters) waiter.join();
  EXPECT_EQ(entered.load(), kWaiters);
  EXPECT_EQ(refused.load(), kWaiters);
  EXPECT_EQ(guarded, 1);
  EXPECT_TRUE(mutex.poisoned());
}

}  // namespace
}  // namespace tarnvel

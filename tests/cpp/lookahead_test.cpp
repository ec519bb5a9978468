#include "support/lookahead.hpp"

#include <algorithm>
#include <cstddef>
#include <memory>
#include <vector>

#include "gtest/gtest.h"

namespace tarnvel {
namespace {

constexpr std::size_t kDistance = 4;

// What the loop did, in order; `bodies_before` counts the steps that had run by then.
struct Event {
  enum Kind { kKey, kPrefetch, kBody, kNear, kFar } kind;
  std::size_t step;
  std::size_t bodies_before;
};

struct Trace {
  std::vector<Event> events;
  std::size_t bodies = 0;

  void note(Event::Kind kind, std::size_t step) { events.push_back({kind, step, bodies}); }
  std::vector<Event> of(Event::Kind kind) const {
    std::vector<Event> found;
    std::ranges::copy_if(events, std::back_inserter(found),
                         [kind](const Event& event) { return event.kind == kind; });
    return found;
  }
  // Every event of `kind` came once per step 0 .. count - 1, in order, `ahead` steps early.
  void expect_ahead(Event::Kind kind, std::size_t count, std::size_t ahead) const {
    const std::vector<Event> found = of(kind);
    ASSERT_EQ(found.size(), count) << "kind " << kind;
    for (std::size_t i = 0; i < count; ++i) {
      EXPECT_EQ(found[i].step, i) << "kind " << kind;
      EXPECT_EQ(found[i].bodies_before, i > ahead ? i - ahead : 0) << "kind " << kind << " " << i;
    }
  }
};

// A key that names its step, distinct from the step number, so that a body handed the key of
// another step (or a key never computed) shows.
std::size_t key_for(std::size_t step) { return 1000 + 7 * step; }

Trace run(std::size_t count) {
  Trace trace;
  for_each_with_lookahead<kDistance>(
      count,
      [&](std::size_t i) {
        trace.note(Event::kKey, i);
        return key_for(i);
      },
      [&](std::size_t key) { trace.note(Event::kPrefetch, (key - 1000) / 7); },
      [&](std::size_t i, std::size_t key) {
        EXPECT_EQ(key, key_for(i));
        trace.note(Event::kBody, i);
        ++trace.bodies;
      });
  return trace;
}

// Counts around the distance: none, fewer steps than the distance, exactly as many, one more, and
// several laps of the ring. A key is computed after the step Distance + 1 back and before the step
// Distance back, so it may depend on what those steps did (a node's expected form depends on the
// ids given so far).
TEST(LookaheadTest, EveryKeyIsComputedOnceInOrderAndPrefetchedBeforeItsStep) {
  for (std::size_t count : {0u, 1u, 3u, 4u, 5u, 13u}) {
    SCOPED_TRACE(count);
    const Trace trace = run(count);
    trace.expect_ahead(Event::kKey, count, kDistance);
    trace.expect_ahead(Event::kBody, count, 0);
    // Each prefetch follows its key at once, with that key, so it precedes its own step.
    for (std::size_t at = 0; at < trace.events.size(); ++at) {
      if (trace.events[at].kind != Event::kKey) continue;
      ASSERT_LT(at + 1, trace.events.size());
      EXPECT_EQ(trace.events[at + 1].kind, Event::kPrefetch);
      EXPECT_EQ(trace.events[at + 1].step, trace.events[at].step);
    }
  }
}

// Loads of dependent data: the far one for a step first, then the near one, then its key.
TEST(LookaheadTest, PreloadsRunFurtherAheadAndBeforeTheKey) {
  for (std::size_t count : {0u, 2u, 9u, 30u}) {
    SCOPED_TRACE(count);
    Trace trace;
    for_each_with_lookahead<kDistance>(
        count,
        [&](std::size_t i) {
          trace.note(Event::kKey, i);
          return i;
        },
        [](std::size_t) {},
        [&](std::size_t i, std::size_t) {
          trace.note(Event::kBody, i);
          ++trace.bodies;
        },
        preload<3 * kDistance>([&](std::size_t i) { trace.note(Event::kFar, i); }),
        preload<2 * kDistance>([&](std::size_t i) { trace.note(Event::kNear, i); }));
    trace.expect_ahead(Event::kFar, count, 3 * kDistance);
    trace.expect_ahead(Event::kNear, count, 2 * kDistance);
    trace.expect_ahead(Event::kKey, count, kDistance);
    trace.expect_ahead(Event::kBody, count, 0);
    for (std::size_t step = 0; step < count; ++step) {
      std::vector<Event::Kind> kinds;
      for (const Event& event : trace.events) {
        if (event.step == step) kinds.push_back(event.kind);
      }
      EXPECT_EQ(kinds, (std::vector{Event::kFar, Event::kNear, Event::kKey, Event::kBody}));
    }
  }
}

// The keys here are move-only, as a key that owns memory (a long child list) may be: the loop
// moves each key to its step and never copies one.
TEST(LookaheadTest, BodyReturningFalseStopsTheLoop) {
  std::vector<std::size_t> steps;
  std::size_t keys = 0;
  for_each_with_lookahead<kDistance>(
      20,
      [&](std::size_t i) {
        ++keys;
        return std::make_unique<std::size_t>(i);
      },
      [](const std::unique_ptr<std::size_t>& key) { EXPECT_NE(key, nullptr); },
      [&](std::size_t i, std::unique_ptr<std::size_t> key) {
        EXPECT_EQ(*key, i);
        steps.push_back(i);
        return i < 6;
      });
  EXPECT_EQ(steps, (std::vector<std::size_t>{0, 1, 2, 3, 4, 5, 6}));
  EXPECT_EQ(keys, 6 + 1 + kDistance);  // the keys of steps 7 .. 10 were computed, then dropped
}

}  // namespace
}  // namespace tarnvel

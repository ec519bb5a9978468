#include "egraph/runner.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <limits>
#include <memory>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "egraph/scheduler.hpp"
#include "test_random.hpp"

namespace tarnvel::egraph {
namespace {

using std::chrono::nanoseconds;
using std::chrono::seconds;

// Backoff scheduling that records which rules were searched and applied.
class RecordingScheduler final : public RewriteScheduler {
 public:
  explicit RecordingScheduler(BackoffScheduler scheduler = {}) : backoff(std::move(scheduler)) {}
  bool can_stop(std::size_t iteration) override { return backoff.can_stop(iteration); }
  MatchList search_rewrite(std::size_t iteration, const EGraph& egraph, const Rewrite& rewrite,
                           std::size_t slot, MatchList buffer, bool settled) override {
    searched.push_back(rewrite.name());
    settled_searches += settled ? 1 : 0;
    return backoff.search_rewrite(iteration, egraph, rewrite, slot, std::move(buffer),
                                  settled && use_settled);
  }
  std::size_t apply_rewrite(std::size_t iteration, EGraph& egraph, const Rewrite& rewrite,
                            const MatchList& matches) override {
    applied.push_back(rewrite.name());
    return backoff.apply_rewrite(iteration, egraph, rewrite, matches);
  }

  BackoffScheduler backoff;
  bool use_settled = true;  // false: search every rule that is not banned
  std::vector<std::string> searched;
  std::vector<std::string> applied;
  std::size_t settled_searches = 0;
};

class RunnerTest : public ::testing::Test {
 protected:
  // `count` distinct nodes f(leaf i): a rule over "(f ?x)" finds exactly `count` matches.
  void add_f_nodes(std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
      const Id leaf = graph.add(SymbolNode{graph.symbols().intern("leaf" + std::to_string(i)), {}});
      graph.add(SymbolNode{graph.symbols().intern("f"), {leaf}});
    }
  }
  void rule(std::string name, std::string_view searcher, std::string_view applier) {
    rules.push_back(*Rewrite::parse(std::move(name), searcher, applier, graph.symbols()));
  }
  Runner runner() {
    Runner configured;
    configured.with_egraph(std::move(graph));
    return configured;
  }
  static const BackoffScheduler& backoff(Runner& finished) {
    return dynamic_cast<const BackoffScheduler&>(finished.scheduler());
  }

  EGraph graph;
  std::vector<Rewrite> rules;
};

TEST_F(RunnerTest, NoRulesSaturateInTheFirstIteration) {
  add_f_nodes(2);
  Runner finished = runner();
  finished.run(rules);
  EXPECT_EQ(finished.iterations().size(), 1u);
  EXPECT_EQ(finished.stop_reason(), StopReason{Saturated{}});
  EXPECT_TRUE(finished.egraph().is_clean());
}

// Thresholds 1000, 2000, 4000 and ban lengths 5, 10, 20: `matches` matches are found by every
// search, so the case says at which threshold the rule is finally passed on with all of them. A
// banned search passes on nothing, so none of its matches is applied.
TEST_F(RunnerTest, BansDoubleTheirThresholdAndLength) {
  struct Case {
    std::size_t matches;
    std::vector<std::size_t> ban_ends;  // after each search that banned
  };
  const std::vector<Case> cases = {
      {1000, {}},            // exactly the first threshold: accepted
      {1001, {5}},           // one past it: banned for 5, accepted at 2000
      {2001, {5, 15}},       // banned at 2000 for 10
      {4000, {5, 15}},       // accepted at 4000
      {4001, {5, 15, 35}},   // banned at 4000 for 20
  };
  for (const Case& test : cases) {
    graph = EGraph();
    rules.clear();
    add_f_nodes(test.matches);
    rule("f", "(f ?x)", "(f ?x)");
    graph.rebuild();
    BackoffScheduler scheduler;
    std::size_t iteration = 0;
    for (std::size_t expected_end : test.ban_ends) {
      EXPECT_TRUE(scheduler.search_rewrite(iteration, graph, rules[0], 0, {}, false).empty());
      EXPECT_EQ(scheduler.stats(0)->ban_end, expected_end) << test.matches;
      EXPECT_TRUE(scheduler.search_rewrite(expected_end - 1, graph, rules[0], 0, {}, false).empty())
          << "still banned one iteration before the end";
      iteration = expected_end;
    }
    EXPECT_EQ(scheduler.search_rewrite(iteration, graph, rules[0], 0, {}, false).size(),
              test.matches);
    EXPECT_EQ(scheduler.stats(0)->ban_count, test.ban_ends.size());
    EXPECT_EQ(scheduler.stats(0)->accepted, 1u);
  }
}

// A threshold or ban length that wrapped past the word would let a rule that matches too often
// through, or lift its ban at once; both stop at the largest value instead.
TEST_F(RunnerTest, ThresholdsAndBanLengthsSaturate) {
  constexpr std::size_t kMax = std::numeric_limits<std::size_t>::max();
  EXPECT_EQ(doubled(1000, 3), 8000u);
  EXPECT_EQ(doubled(0, 63), 0u);
  EXPECT_EQ(doubled(1, 63), std::size_t{1} << 63);
  EXPECT_EQ(doubled(2, 63), kMax);
  EXPECT_EQ(doubled(std::size_t{1} << 33, 31), kMax) << "would wrap to 0";
  EXPECT_EQ(doubled(3, 64), kMax);

  // Threshold 0: every search bans; ban lengths 2^62, 2^63, then 2^64, which would wrap to 0.
  add_f_nodes(1);
  rule("f", "(f ?x)", "(f ?x)");
  graph.rebuild();
  BackoffScheduler scheduler(0, std::size_t{1} << 62);
  std::size_t iteration = 0;
  for (int ban = 0; ban < 3; ++ban) {
    EXPECT_TRUE(scheduler.search_rewrite(iteration, graph, rules[0], 0, {}, false).empty());
    iteration = scheduler.stats(0)->ban_end;
  }
  EXPECT_EQ(scheduler.stats(0)->ban_count, 3u);
  EXPECT_EQ(iteration, kMax) << "the third ban lasts as long as it can";
}

TEST_F(RunnerTest, AnIdleBanIsFastForwardedWithoutSaturating) {
  add_f_nodes(1001);
  rule("f", "(f ?x)", "(f ?x)");  // matches everywhere, never changes anything
  Runner finished = runner();
  finished.run(rules);
  ASSERT_EQ(finished.iterations().size(), 2u);
  EXPECT_FALSE(finished.iterations()[0].stop_reason.has_value())
      << "iteration 0 changed nothing but lifted a ban: not saturated";
  EXPECT_EQ(finished.stop_reason(), StopReason{Saturated{}});
  EXPECT_EQ(backoff(finished).stats(0)->accepted, 1u) << "searched again in iteration 1";
}

TEST_F(RunnerTest, AGrowingRunStopsAtTheIterationLimit) {
  add_f_nodes(1);
  rule("grow", "(f ?x)", "(f (h ?x))");  // adds one h level every iteration
  Runner finished = runner();
  finished.with_iteration_limit(12).run(rules);
  EXPECT_EQ(finished.iterations().size(), 12u);
  EXPECT_EQ(finished.stop_reason(), StopReason{IterationLimit{12}});
}

TEST_F(RunnerTest, ANodeLimitBelowTheInitialSizeStopsBeforeAnySearch) {
  add_f_nodes(2);  // total size 4
  rule("f-to-h", "(f ?x)", "(h ?x)");
  auto recording = std::make_unique<RecordingScheduler>();
  RecordingScheduler& scheduler = *recording;
  Runner finished = runner();
  finished.with_node_limit(3).with_scheduler(std::move(recording)).run(rules);
  EXPECT_EQ(finished.stop_reason(), StopReason{NodeLimit{4}});
  EXPECT_EQ(finished.iterations().size(), 1u);
  EXPECT_TRUE(scheduler.searched.empty());
  EXPECT_TRUE(finished.egraph().is_clean());

  graph = EGraph();
  add_f_nodes(2);
  Runner at_limit = runner();
  at_limit.with_node_limit(4).run({});
  EXPECT_EQ(at_limit.stop_reason(), StopReason{Saturated{}}) << "a size equal to the limit runs";
}

TEST_F(RunnerTest, TheNodeLimitIsCheckedAfterEachApplication) {
  add_f_nodes(1);  // total size 2
  rule("first", "(f ?x)", "(g ?x)");
  rule("second", "(f ?x)", "(h ?x)");
  auto recording = std::make_unique<RecordingScheduler>();
  RecordingScheduler& scheduler = *recording;
  Runner finished = runner();
  finished.with_node_limit(2).with_scheduler(std::move(recording)).run(rules);
  EXPECT_EQ(finished.stop_reason(), StopReason{NodeLimit{3}});
  EXPECT_EQ(scheduler.searched, (std::vector<std::string>{"first", "second"}));
  EXPECT_EQ(scheduler.applied, (std::vector<std::string>{"first"}));
  ASSERT_EQ(finished.iterations()[0].applied.size(), 1u);
  EXPECT_EQ(finished.iterations()[0].applied[0], (std::pair<std::string, std::size_t>{"first", 1}));
}

// A clock that returns the start time once and then `later` on every call.
Runner::Clock two_step_clock(nanoseconds later) {
  auto calls = std::make_shared<int>(0);
  return [calls, later] { return (*calls)++ == 0 ? nanoseconds(0) : later; };
}

TEST_F(RunnerTest, OnlyTimeStrictlyPastTheLimitStopsTheRun) {
  add_f_nodes(1);
  rule("grow", "(f ?x)", "(f (h ?x))");
  Runner equal = runner();
  equal.with_iteration_limit(3)
      .with_time_limit(seconds(5))
      .with_clock(two_step_clock(seconds(5)))
      .run(rules);
  EXPECT_EQ(equal.stop_reason(), StopReason{IterationLimit{3}});

  graph = EGraph();
  add_f_nodes(1);
  Runner past = runner();
  past.with_time_limit(seconds(5))
      .with_clock(two_step_clock(seconds(5) + nanoseconds(1)))
      .run(rules);
  ASSERT_TRUE(past.stop_reason().has_value());
  ASSERT_TRUE(std::holds_alternative<TimeLimit>(*past.stop_reason()));
  EXPECT_DOUBLE_EQ(std::get<TimeLimit>(*past.stop_reason()).seconds, 5.000000001);
  EXPECT_EQ(past.iterations().size(), 1u);
}

// Backoff scheduling that moves two fake clocks on at every search: the wall clock by 1 s, the
// CPU clock by 0.5 s, as on a core shared with one other thread. It notes the wall time at every
// reading of the CPU clock.
class TickingScheduler final : public RewriteScheduler {
 public:
  struct Clocks {
    nanoseconds wall{0};
    nanoseconds cpu{0};
    std::vector<double> cpu_read_at;  // wall seconds
  };
  explicit TickingScheduler(std::shared_ptr<Clocks> clocks) : clocks_(std::move(clocks)) {}
  bool can_stop(std::size_t iteration) override { return backoff_.can_stop(iteration); }
  MatchList search_rewrite(std::size_t iteration, const EGraph& egraph, const Rewrite& rewrite,
                           std::size_t slot, MatchList buffer, bool settled) override {
    clocks_->wall += seconds(1);
    clocks_->cpu += std::chrono::milliseconds(500);
    return backoff_.search_rewrite(iteration, egraph, rewrite, slot, std::move(buffer), settled);
  }
  std::size_t apply_rewrite(std::size_t iteration, EGraph& egraph, const Rewrite& rewrite,
                            const MatchList& matches) override {
    return backoff_.apply_rewrite(iteration, egraph, rewrite, matches);
  }

 private:
  BackoffScheduler backoff_;
  std::shared_ptr<Clocks> clocks_;
};

// The stop rule is the CPU clock's alone (strictly more than the limit), but the CPU clock is read
// only once the wall clock says the limit is within reach: first after about 5 s of wall time,
// then each time the wall time passed since the last reading could make up the CPU time left.
TEST_F(RunnerTest, TheCpuClockIsReadOnlyWhenTheWallClockAllowsTheLimit) {
  add_f_nodes(1);
  rule("grow", "(f ?x)", "(f (h ?x))");
  auto clocks = std::make_shared<TickingScheduler::Clocks>();
  Runner finished = runner();
  finished.with_time_limit(seconds(5))
      .with_clocks(
          [clocks] {
            clocks->cpu_read_at.push_back(std::chrono::duration<double>(clocks->wall).count());
            return clocks->cpu;
          },
          [clocks] { return clocks->wall; })
      .with_scheduler(std::make_unique<TickingScheduler>(clocks))
      .run(rules);
  EXPECT_EQ(finished.stop_reason(), StopReason{TimeLimit{5.5}}) << "CPU 5 s at wall 10 s runs on";
  EXPECT_EQ(finished.iterations().size(), 11u);
  // Start; wall 5 (CPU 2.5 s, 2.5 s left); wall 8 (1 s left); wall 9 (0.5 s left); then at every
  // check from wall 10 on, where nothing is left.
  const std::vector<double> before_ten(
      clocks->cpu_read_at.begin(),
      std::find_if(clocks->cpu_read_at.begin(), clocks->cpu_read_at.end(),
                   [](double wall) { return wall >= 10; }));
  EXPECT_EQ(before_ten, (std::vector<double>{0, 5, 8, 9}));
}

// Backoff scheduling that sleeps before every search, as a thread waiting for a busy core would.
class SleepingScheduler final : public RewriteScheduler {
 public:
  bool can_stop(std::size_t iteration) override { return backoff.can_stop(iteration); }
  MatchList search_rewrite(std::size_t iteration, const EGraph& egraph, const Rewrite& rewrite,
                           std::size_t slot, MatchList buffer, bool settled) override {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    return backoff.search_rewrite(iteration, egraph, rewrite, slot, std::move(buffer), settled);
  }
  std::size_t apply_rewrite(std::size_t iteration, EGraph& egraph, const Rewrite& rewrite,
                            const MatchList& matches) override {
    return backoff.apply_rewrite(iteration, egraph, rewrite, matches);
  }

  BackoffScheduler backoff;
};

// The default clock is the thread's CPU time: 60 ms asleep over three iterations do not reach a
// limit of 10 ms, which a wall clock would after the first search.
TEST_F(RunnerTest, TimeSpentWaitingDoesNotCountTowardsTheLimit) {
  add_f_nodes(1);
  rule("grow", "(f ?x)", "(f (h ?x))");
  Runner waiting = runner();
  waiting.with_iteration_limit(3)
      .with_time_limit(std::chrono::milliseconds(10))
      .with_scheduler(std::make_unique<SleepingScheduler>())
      .run(rules);
  EXPECT_EQ(waiting.stop_reason(), StopReason{IterationLimit{3}});
}

TEST_F(RunnerTest, TheTimeLimitIsCheckedAfterEachSearch) {
  add_f_nodes(1);
  rule("one", "(f ?x)", "(g ?x)");
  rule("two", "(f ?x)", "(g ?x)");
  rule("three", "(f ?x)", "(g ?x)");
  auto ticks = std::make_shared<int>(0);
  auto recording = std::make_unique<RecordingScheduler>();
  RecordingScheduler& scheduler = *recording;
  // One second per reading: start 0, iteration check 1, after "one" 2, after "two" 3 > 2.5.
  Runner finished = runner();
  finished.with_time_limit(std::chrono::milliseconds(2500))
      .with_clock([ticks] { return nanoseconds(seconds((*ticks)++)); })
      .with_scheduler(std::move(recording))
      .run(rules);
  EXPECT_EQ(finished.stop_reason(), StopReason{TimeLimit{3.0}});
  EXPECT_EQ(scheduler.searched, (std::vector<std::string>{"one", "two"}));
  EXPECT_TRUE(scheduler.applied.empty());
}

TEST_F(RunnerTest, DuplicateRuleNamesAreReportedOnStandardError) {
  add_f_nodes(1);
  rule("dup", "(f ?x)", "(g ?x)");
  rule("single", "(f ?x)", "(f ?x)");
  rule("dup", "(f ?x)", "(h ?x)");
  rule("twice", "(g ?x)", "(g ?x)");
  rule("twice", "(g ?x)", "(g ?x)");
  ::testing::internal::CaptureStderr();
  Runner finished = runner();
  finished.run(rules);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "warning: several rules share a name; their counts and bans are kept together\n"
            "rule 'dup' is given 2 times\n"
            "rule 'twice' is given 2 times\n");
  const RuleSet compiled(rules);
  EXPECT_EQ(compiled.slot_count(), 3u);
  EXPECT_EQ((std::vector<std::size_t>{compiled.slot(0), compiled.slot(1), compiled.slot(2),
                                      compiled.slot(3), compiled.slot(4)}),
            (std::vector<std::size_t>{0, 1, 0, 2, 2}));
  ASSERT_FALSE(finished.iterations().empty());
  EXPECT_EQ(finished.iterations()[0].applied,
            (std::vector<std::pair<std::string, std::size_t>>{{"dup", 2}}))
      << "both rules named dup count in one entry";
}

TEST(SettlingRuleTest, OnlyOneOperatorOverASelfUndoingReorderingSettles) {
  struct Case {
    const char* searcher;
    const char* applier;
    bool settles;
  };
  const Case cases[] = {
      {"(f ?a ?b)", "(f ?b ?a)", true},
      {"(f ?a ?b)", "(f ?a ?b)", true},
      {"(h ?x)", "?x", true},
      {"(t ?a ?b ?c)", "(t ?c ?b ?a)", true},
      {"(t ?a ?b ?c)", "(t ?b ?c ?a)", false},  // applied again, it makes a third order
      {"(f ?a ?b)", "(f ?a ?a)", false},
      {"(f ?a ?b)", "(g ?b ?a)", false},
      {"(f ?a ?a)", "?a", false},
      {"(f ?a (g ?b))", "?a", false},
      {"(f ?a ?b)", "(f ?b (g ?a))", false},
      {"?x", "(f ?x ?x)", false},
  };
  for (const Case& test : cases) {
    SymbolTable symbols;
    const auto rule = Rewrite::parse("r", test.searcher, test.applier, symbols);
    ASSERT_TRUE(rule.has_value()) << test.searcher;
    EXPECT_EQ(rule->settling_op().has_value(), test.settles)
        << test.searcher << " => " << test.applier;
  }
}

// Runs that leave settled rules unsearched make the same iterations and the same classes as runs
// that search every rule, with bans, with rules that add the nodes a settled rule matches, and
// with a small iteration limit.
TEST_F(RunnerTest, SettledRulesRunAsIfSearched) {
  TestRandom random;
  const auto below = [&](std::size_t bound) {
    return static_cast<std::size_t>(random.below(bound));
  };
  std::size_t settled_searches = 0;
  for (int seed = 0; seed < 96; ++seed) {
    const auto run = [&](bool use_settled) {
      const TestRandom saved = random;
      graph = EGraph();
      rules.clear();
      std::vector<Id> ids;
      for (int i = 0; i < 6; ++i) {
        ids.push_back(graph.add(SymbolNode{graph.symbols().intern("l" + std::to_string(i)), {}}));
      }
      const char* binary[] = {"f", "g"};
      const char* unary[] = {"h", "k"};
      for (int i = 0; i < 60; ++i) {
        const Id a = ids[below(ids.size())];
        const Id b = ids[below(ids.size())];
        const bool is_binary = below(2) == 0;
        ids.push_back(is_binary
                          ? graph.add(SymbolNode{graph.symbols().intern(binary[below(2)]), {a, b}})
                          : graph.add(SymbolNode{graph.symbols().intern(unary[below(2)]), {a}}));
      }
      random = saved;
      // grow-g and wrap-k add nodes that comm-f and id-h have not seen, applied before or after
      // those in the same iteration; grow-g also adds g nodes, so it gets banned after it applied.
      // Each seed takes the rules in another order.
      const std::array<std::array<const char*, 3>, 4> set = {{
          {"comm-f", "(f ?a ?b)", "(f ?b ?a)"},
          {"grow-g", "(g ?a ?b)", "(g (f ?a ?b) ?b)"},
          {"id-h", "(h ?x)", "?x"},
          {"wrap-k", "(k ?x)", "(h (k ?x))"},
      }};
      std::array<int, 4> order = {0, 1, 2, 3};
      for (int i = 0; i < seed % 24; ++i) std::next_permutation(order.begin(), order.end());
      for (int i : order) rule(set[i][0], set[i][1], set[i][2]);
      auto recording = std::make_unique<RecordingScheduler>(BackoffScheduler(1 + seed % 8, 1));
      recording->use_settled = use_settled;
      RecordingScheduler& scheduler = *recording;
      Runner finished = runner();
      finished.with_iteration_limit(3 + seed % 10).with_scheduler(std::move(recording)).run(rules);
      settled_searches += use_settled ? scheduler.settled_searches : 0;
      return std::make_tuple(std::move(finished), scheduler.searched, scheduler.applied);
    };
    auto [searched_all, searched_names, applied_names] = run(false);
    auto [settled, settled_names, settled_applied] = run(true);
    (void)below(2);  // the next seed's graph
    EXPECT_EQ(settled_names, searched_names) << seed;
    EXPECT_EQ(settled_applied, applied_names) << seed;
    EXPECT_EQ(settled.stop_reason(), searched_all.stop_reason()) << seed;
    ASSERT_EQ(settled.iterations().size(), searched_all.iterations().size()) << seed;
    for (std::size_t i = 0; i < settled.iterations().size(); ++i) {
      const Iteration& a = settled.iterations()[i];
      const Iteration& b = searched_all.iterations()[i];
      EXPECT_EQ(a.egraph_nodes, b.egraph_nodes) << seed << " iteration " << i;
      EXPECT_EQ(a.egraph_classes, b.egraph_classes) << seed << " iteration " << i;
      EXPECT_EQ(a.applied, b.applied) << seed << " iteration " << i;
    }
    EXPECT_EQ(settled.egraph().roots(), searched_all.egraph().roots()) << seed;
  }
  EXPECT_GT(settled_searches, 100u) << "the runs must exercise settled rules";
}

}  // namespace
}  // namespace tarnvel::egraph

// Runner: equality saturation over one e-graph. Each iteration searches every rule, applies every
// rule and rebuilds, until an iteration changes nothing or a limit is hit; a scheduler decides per
// rule whether its matches are used.
//
// A settling rule (Rewrite::settling_op) whose matches were all applied, and which nothing has
// given new matches since, is not searched: the scheduler decides for it from its match count, and
// the iteration comes out as if it had been searched and applied.
//
// Limits are checked at the start of every iteration, after every single rule's search and after
// every single rule's application, so a run stops within one rule of exceeding its time or node
// limit. Exceeding a limit is not an error: the run ends with that stop reason and a rebuilt
// e-graph.
//
// The time limit is on the calling thread's CPU time, whose clock is a system call. A thread
// cannot use more CPU time than the wall time that passes, so a check reads a cheap wall clock
// (the coarse monotonic clock) first and the CPU clock only once enough wall time has passed for
// the limit to be within reach.
//
// Use: configure with the `with_*` setters, `run(rules)` once, then read `egraph()`,
// `iterations()` and `stop_reason()`.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "egraph/egraph.hpp"
#include "egraph/match_list.hpp"
#include "egraph/rewrite.hpp"
#include "egraph/rule_set.hpp"
#include "egraph/scheduler.hpp"

namespace tarnvel::egraph {

struct Saturated {
  friend bool operator==(const Saturated&, const Saturated&) = default;
};
struct IterationLimit {
  std::size_t iterations = 0;  // finished iterations
  friend bool operator==(const IterationLimit&, const IterationLimit&) = default;
};
struct NodeLimit {
  std::size_t total_size = 0;  // the e-graph's total size at the check
  friend bool operator==(const NodeLimit&, const NodeLimit&) = default;
};
struct TimeLimit {
  double seconds = 0;  // elapsed since the first iteration started
  friend bool operator==(const TimeLimit&, const TimeLimit&) = default;
};
using StopReason = std::variant<Saturated, IterationLimit, NodeLimit, TimeLimit>;

struct Iteration {
  std::size_t egraph_nodes = 0;    // total size at the start of the iteration
  std::size_t egraph_classes = 0;  // number of classes at the start of the iteration
  // Effective applications per rule name, in first-application order; only positive counts.
  std::vector<std::pair<std::string, std::size_t>> applied;
  std::optional<StopReason> stop_reason;
};

class Runner {
 public:
  // A reading of a monotonic clock: the time since an arbitrary origin.
  using Clock = std::function<std::chrono::nanoseconds()>;

  static constexpr std::size_t kDefaultIterationLimit = 30;
  static constexpr std::size_t kDefaultNodeLimit = 10000;
  static constexpr std::chrono::seconds kDefaultTimeLimit{5};

  Runner();

  Runner& with_egraph(EGraph egraph);
  Runner& with_iteration_limit(std::size_t limit);
  Runner& with_node_limit(std::size_t limit);
  Runner& with_time_limit(std::chrono::nanoseconds limit);
  Runner& with_scheduler(std::unique_ptr<RewriteScheduler> scheduler);
  // Replaces the clock, for deterministic tests, and drops the wall clock: every check reads
  // `clock`. By default the clock is the calling thread's CPU time, which does not run while the
  // thread waits for a core: other processes on the machine can slow a run down but cannot cut it
  // short and so change its result.
  Runner& with_clock(Clock clock);
  // Replaces both clocks, for tests; `wall_clock` is taken to read the time exactly. REQUIRES:
  // `clock` never advances by more than `wall_clock` between two readings, as the CPU time of one
  // thread never outruns the wall time.
  Runner& with_clocks(Clock clock, Clock wall_clock);

  // Runs the rules, in the given order every iteration, until a stop reason is found. A rule set
  // with duplicate names has its warning written to standard error first.
  Runner& run(const RuleSet& rules);
  // The same for rules not compiled into a set.
  Runner& run(std::span<const Rewrite> rules);

  const EGraph& egraph() const { return egraph_; }
  EGraph& egraph() { return egraph_; }
  const std::vector<Iteration>& iterations() const { return iterations_; }
  const std::optional<StopReason>& stop_reason() const { return stop_reason_; }
  // The time the run took on the runner's clock, from its first iteration's start to its stop.
  std::chrono::nanoseconds run_time() const { return run_time_; }
  RewriteScheduler& scheduler() { return *scheduler_; }

 private:
  [[nodiscard]] std::optional<StopReason> check_limits();
  // Starts the clocks at the first iteration.
  void start_clocks();
  // What a rule's history tells about its next search, from the counts of e-nodes added with its
  // settling operator (`EGraph::added_with_op`; none for a rule that does not settle).
  class Settling {
   public:
    // Whether the rule is settled and the search may skip it. A settled rule that adds nodes is
    // skipped only when it will be applied to the e-graph as last rebuilt, that is when no rule
    // searched before it in this iteration has matches to apply.
    bool skips_search(std::optional<std::size_t> added, const Rewrite& rule,
                      bool earlier_matches) const {
      return settled_at_ && settled_at_ == added && (rule.only_merges() || !earlier_matches);
    }
    // Records the count every search of this iteration saw: searching adds nothing.
    void searched(std::optional<std::size_t> added) {
      if (added) added_at_search_ = *added;
    }
    // Records an application of this iteration's matches, with the counts before and after it.
    // The rule settles when they were all of its matches, applied before anything added a node
    // they miss.
    void applied(bool had_matches, std::optional<std::size_t> before,
                 std::optional<std::size_t> after) {
      if (had_matches && before && *before == added_at_search_) settled_at_ = after;
    }

   private:
    // The count right after all of the rule's matches were applied: while it stays there,
    // applying its matches again changes nothing.
    std::optional<std::size_t> settled_at_;
    std::size_t added_at_search_ = 0;
  };
  // Kept from iteration to iteration, one entry per rule.
  struct RuleState {
    MatchList matches;  // the last search's result, kept for its memory only
    Settling settling;
  };
  // Scratch of one run, allocated once for all of its iterations.
  struct RunState {
    std::vector<RuleState> rules;  // by rule position
    std::vector<std::size_t> applied_entry;  // by slot: index into the iteration's `applied`
  };
  Iteration run_one(const RuleSet& rules, RunState& state);

  EGraph egraph_;
  std::vector<Iteration> iterations_;
  std::optional<StopReason> stop_reason_;
  std::size_t iteration_limit_ = kDefaultIterationLimit;
  std::size_t node_limit_ = kDefaultNodeLimit;
  std::chrono::nanoseconds time_limit_ = kDefaultTimeLimit;
  std::optional<std::chrono::nanoseconds> start_time_;  // on `clock_`
  // On `wall_clock_`: before this reading, less time than the limit has passed on `clock_`.
  std::chrono::nanoseconds wall_deadline_{0};
  std::chrono::nanoseconds run_time_{0};
  std::unique_ptr<RewriteScheduler> scheduler_;
  Clock clock_;
  Clock wall_clock_;  // empty: every check reads `clock_`
  std::chrono::nanoseconds wall_resolution_{0};  // how far behind `wall_clock_` may read
};

}  // namespace tarnvel::egraph

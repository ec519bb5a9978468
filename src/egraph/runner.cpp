#include "egraph/runner.hpp"

#include <cstdio>
#include <limits>

#include "support/builtins.hpp"
#include "support/fault.hpp"

namespace tarnvel::egraph {
namespace {

constexpr std::size_t kNoEntry = std::numeric_limits<std::size_t>::max();

// How much sooner than `remaining` a deadline hands a check over to the CPU clock: the wall
// clock may be slewed by a fraction of a permille against the CPU clock's source, and the default
// wall clock reads the time of the last timer tick, behind by up to its resolution.
std::chrono::nanoseconds wall_margin(std::chrono::nanoseconds remaining,
                                     std::chrono::nanoseconds resolution) {
  return remaining / 64 + std::chrono::milliseconds(1) + 2 * resolution;
}

}  // namespace

Runner::Runner()
    : scheduler_(std::make_unique<BackoffScheduler>()),
      clock_(thread_cpu_time),
      wall_clock_(coarse_monotonic_time),
      wall_resolution_(coarse_monotonic_resolution()) {}

Runner& Runner::with_egraph(EGraph egraph) {
  egraph_ = std::move(egraph);
  return *this;
}

Runner& Runner::with_iteration_limit(std::size_t limit) {
  iteration_limit_ = limit;
  return *this;
}

Runner& Runner::with_node_limit(std::size_t limit) {
  node_limit_ = limit;
  return *this;
}

Runner& Runner::with_time_limit(std::chrono::nanoseconds limit) {
  time_limit_ = limit;
  return *this;
}

Runner& Runner::with_scheduler(std::unique_ptr<RewriteScheduler> scheduler) {
  check_invariant(scheduler != nullptr, "a runner needs a scheduler");
  scheduler_ = std::move(scheduler);
  return *this;
}

Runner& Runner::with_clock(Clock clock) {
  clock_ = std::move(clock);
  wall_clock_ = nullptr;
  return *this;
}

Runner& Runner::with_clocks(Clock clock, Clock wall_clock) {
  clock_ = std::move(clock);
  wall_clock_ = std::move(wall_clock);
  wall_resolution_ = std::chrono::nanoseconds(0);
  return *this;
}

// The wall clock is read first, so that the wall time counted from its start is never less than
// the CPU time counted from the CPU clock's.
void Runner::start_clocks() {
  if (wall_clock_)
    wall_deadline_ = wall_clock_() + time_limit_ - wall_margin(time_limit_, wall_resolution_);
  start_time_ = clock_();
}

// Time, then nodes, then iterations; each limit is exceeded only strictly, except that the
// iteration limit counts finished iterations.
std::optional<StopReason> Runner::check_limits() {
  // The CPU time used since the start is at most the wall time passed since then, so before the
  // deadline it is below the limit. Past it, the CPU clock decides, and the next deadline is as
  // far off as the CPU time left under the limit.
  std::optional<std::chrono::nanoseconds> wall;
  if (wall_clock_) wall = wall_clock_();
  if (!wall || *wall >= wall_deadline_) {
    const auto elapsed = clock_() - *start_time_;
    if (elapsed > time_limit_) {
      return TimeLimit{std::chrono::duration<double>(elapsed).count()};
    }
    const auto remaining = time_limit_ - elapsed;
    if (wall) wall_deadline_ = *wall + remaining - wall_margin(remaining, wall_resolution_);
  }
  if (egraph_.total_size() > node_limit_) return NodeLimit{egraph_.total_size()};
  if (iterations_.size() >= iteration_limit_) return IterationLimit{iterations_.size()};
  return std::nullopt;
}

Runner& Runner::run(std::span<const Rewrite> rules) {
  return run(RuleSet(std::vector<Rewrite>(rules.begin(), rules.end())));
}

Runner& Runner::run(const RuleSet& rules) {
  if (!rules.duplicate_warning().empty()) std::fputs(rules.duplicate_warning().c_str(), stderr);
  RunState state;
  state.rules.resize(rules.size());
  state.applied_entry.resize(rules.slot_count(), kNoEntry);
  egraph_.rebuild();
  while (true) {
    check_invariant(!stop_reason_.has_value(), "runner has already stopped");
    Iteration iteration = run_one(rules, state);
    std::optional<StopReason> reason = iteration.stop_reason;
    iterations_.push_back(std::move(iteration));
    if (!reason) reason = check_limits();
    if (reason) {
      stop_reason_ = reason;
      break;
    }
  }
  check_invariant(!iterations_.empty(), "run ended without an iteration");
  check_invariant(stop_reason_.has_value(), "run ended without a stop reason");
  run_time_ = clock_() - *start_time_;
  return *this;
}

Iteration Runner::run_one(const RuleSet& rules, RunState& state) {
  const std::size_t index = iterations_.size();
  if (!start_time_) start_clocks();
  std::optional<StopReason> outcome = check_limits();

  Iteration iteration;
  iteration.egraph_nodes = egraph_.total_size();
  iteration.egraph_classes = egraph_.number_of_classes();

  std::vector<RuleState>& states = state.rules;
  const auto added = [&](const Rewrite& rule) -> std::optional<std::size_t> {
    if (const std::optional<Symbol> op = rule.settling_op()) return egraph_.added_with_op(*op);
    return std::nullopt;
  };
  // A search reuses the memory of the rule's previous matches. Rules are applied only when every
  // rule was searched in this iteration, so no earlier iteration's matches are ever applied.
  bool earlier_matches = false;
  for (std::size_t r = 0; r < rules.size() && !outcome; ++r) {
    const bool settled =
        states[r].settling.skips_search(added(rules[r]), rules[r], earlier_matches);
    states[r].matches = scheduler_->search_rewrite(index, egraph_, rules[r], rules.slot(r),
                                                   std::move(states[r].matches), settled);
    earlier_matches = earlier_matches || !states[r].matches.empty();
    outcome = check_limits();
  }

  for (std::size_t r = 0; r < rules.size(); ++r) states[r].settling.searched(added(rules[r]));
  // Entries of `applied` are made in first-application order; their slots are reset at the end.
  std::vector<std::size_t>& applied_entry = state.applied_entry;
  for (std::size_t r = 0; r < rules.size() && !outcome; ++r) {
    const MatchList& matches = states[r].matches;
    const std::optional<std::size_t> before = added(rules[r]);
    const std::size_t applied = scheduler_->apply_rewrite(index, egraph_, rules[r], matches);
    states[r].settling.applied(!matches.empty(), before, added(rules[r]));
    if (applied > 0) {
      const std::size_t slot = rules.slot(r);
      if (applied_entry[slot] == kNoEntry) {
        applied_entry[slot] = iteration.applied.size();
        iteration.applied.emplace_back(rules[r].name(), 0);
      }
      iteration.applied[applied_entry[slot]].second += applied;
    }
    outcome = check_limits();
  }
  for (std::size_t r = 0; r < rules.size(); ++r) applied_entry[rules.slot(r)] = kNoEntry;

  egraph_.rebuild();

  if (iteration.applied.empty()) {
    // can_stop may fast-forward bans, so it is asked only when nothing was applied.
    const bool can_stop = scheduler_->can_stop(index);
    const bool unchanged = egraph_.total_size() == iteration.egraph_nodes &&
                           egraph_.number_of_classes() == iteration.egraph_classes;
    if (can_stop && unchanged && !outcome) outcome = Saturated{};
  }
  iteration.stop_reason = outcome;
  return iteration;
}

}  // namespace tarnvel::egraph

#include "egraph/runner.hpp"

#include <time.h>

#include <cstdio>
#include <limits>

#include "absl/container/flat_hash_map.h"
#include "support/fault.hpp"
#include "support/table_growth.hpp"

namespace tarnvel::egraph {
namespace {

constexpr std::size_t kNoEntry = std::numeric_limits<std::size_t>::max();

std::chrono::nanoseconds thread_cpu_time() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return std::chrono::seconds(now.tv_sec) + std::chrono::nanoseconds(now.tv_nsec);
}

// For each rule, the index of its name among the distinct names in first-occurrence order. Warns
// on standard error when a name occurs more than once.
std::vector<std::size_t> name_slots(std::span<const Rewrite> rules) {
  absl::flat_hash_map<std::string_view, std::size_t> slot_of(room_for(rules.size()));
  std::vector<std::size_t> slots;
  std::vector<std::size_t> occurrences;
  std::vector<std::string_view> names;
  for (const Rewrite& rule : rules) {
    const auto [entry, inserted] = slot_of.try_emplace(rule.name(), names.size());
    if (inserted) {
      names.push_back(rule.name());
      occurrences.push_back(0);
    }
    ++occurrences[entry->second];
    slots.push_back(entry->second);
  }
  if (names.size() == rules.size()) return slots;

  std::string warning =
      "WARNING: Duplicated rule names may affect rule reporting and scheduling.\n";
  for (std::size_t slot = 0; slot < names.size(); ++slot) {
    if (occurrences[slot] < 2) continue;
    warning += "Rule '" + std::string(names[slot]) + "' appears " +
               std::to_string(occurrences[slot]) + " times\n";
  }
  std::fputs(warning.c_str(), stderr);
  return slots;
}

}  // namespace

Runner::Runner() : scheduler_(std::make_unique<BackoffScheduler>()), clock_(thread_cpu_time) {}

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
  return *this;
}

// Time, then nodes, then iterations; each limit is exceeded only strictly, except that the
// iteration limit counts finished iterations.
std::optional<StopReason> Runner::check_limits() const {
  const auto elapsed = clock_() - *start_time_;
  if (elapsed > time_limit_) {
    return TimeLimit{std::chrono::duration<double>(elapsed).count()};
  }
  if (egraph_.total_size() > node_limit_) return NodeLimit{egraph_.total_size()};
  if (iterations_.size() >= iteration_limit_) return IterationLimit{iterations_.size()};
  return std::nullopt;
}

Runner& Runner::run(std::span<const Rewrite> rules) {
  const std::vector<std::size_t> slots = name_slots(rules);
  std::vector<RuleState> states(rules.size());
  egraph_.rebuild();
  while (true) {
    check_invariant(!stop_reason_.has_value(), "runner has already stopped");
    Iteration iteration = run_one(rules, slots, states);
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

Iteration Runner::run_one(std::span<const Rewrite> rules, std::span<const std::size_t> name_slots,
                          std::vector<RuleState>& states) {
  const std::size_t index = iterations_.size();
  if (!start_time_) start_time_ = clock_();
  std::optional<StopReason> outcome = check_limits();

  Iteration iteration;
  iteration.egraph_nodes = egraph_.total_size();
  iteration.egraph_classes = egraph_.number_of_classes();

  const auto added = [&](const Rewrite& rule) {
    return egraph_.added_with_op(*rule.settling_op());
  };
  // A search reuses the memory of the rule's previous matches. Rules are applied only when every
  // rule was searched in this iteration, so no earlier iteration's matches are ever applied.
  // A settled rule that adds nodes is left unsearched only when it will be applied to the
  // e-graph as last rebuilt, that is when no rule before it has matches to apply.
  bool earlier_matches = false;
  for (std::size_t r = 0; r < rules.size() && !outcome; ++r) {
    const bool settled = states[r].settled_at && *states[r].settled_at == added(rules[r]) &&
                         (rules[r].only_merges() || !earlier_matches);
    states[r].matches =
        scheduler_->search_rewrite(index, egraph_, rules[r], std::move(states[r].matches), settled);
    earlier_matches = earlier_matches || !states[r].matches.empty();
    outcome = check_limits();
  }

  // Searching adds nothing, so these are the counts every search of this iteration saw.
  std::vector<std::size_t> added_at_search(rules.size(), 0);
  for (std::size_t r = 0; r < rules.size(); ++r) {
    if (rules[r].settling_op()) added_at_search[r] = added(rules[r]);
  }
  std::vector<std::size_t> applied_entry;  // by name slot: index into `iteration.applied`
  for (std::size_t r = 0; r < rules.size() && !outcome; ++r) {
    const MatchList& matches = states[r].matches;
    // Matches that are all of the rule's, applied before anything added a node they miss.
    const bool applies_all =
        rules[r].settling_op() && !matches.empty() && added(rules[r]) == added_at_search[r];
    const std::size_t applied = scheduler_->apply_rewrite(index, egraph_, rules[r], matches);
    if (applies_all) states[r].settled_at = added(rules[r]);
    if (applied > 0) {
      const std::size_t slot = name_slots[r];
      if (slot >= applied_entry.size()) applied_entry.resize(slot + 1, kNoEntry);
      if (applied_entry[slot] == kNoEntry) {
        applied_entry[slot] = iteration.applied.size();
        iteration.applied.emplace_back(rules[r].name(), 0);
      }
      iteration.applied[applied_entry[slot]].second += applied;
    }
    outcome = check_limits();
  }

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

#include "egraph/scheduler.hpp"

#include <algorithm>
#include <limits>
#include <utility>

#include "support/fault.hpp"

namespace tarnvel::egraph {
namespace {

std::size_t saturating_add(std::size_t a, std::size_t b) {
  return b > std::numeric_limits<std::size_t>::max() - a ? std::numeric_limits<std::size_t>::max()
                                                         : a + b;
}

}  // namespace

RuleStats& BackoffScheduler::stats_for(std::size_t slot) {
  if (slot >= rule_stats_.size()) {
    // Slots come in ascending order on the first iteration: one block for a usual rule set.
    rule_stats_.reserve(std::max<std::size_t>(slot + 1, 16));
    rule_stats_.resize(slot + 1, RuleStats{.base_match_limit = initial_match_limit_,
                                           .base_ban_length = initial_ban_length_});
  }
  return rule_stats_[slot];
}

MatchList BackoffScheduler::search_rewrite(std::size_t iteration, const EGraph& egraph,
                                           const Rewrite& rewrite, std::size_t slot,
                                           MatchList buffer, bool settled) {
  buffer.clear();
  RuleStats& stats = stats_for(slot);
  if (iteration < stats.ban_end) return buffer;

  check_invariant(stats.ban_count < 64, "ban count must be below 64");
  const std::size_t threshold = doubled(stats.base_match_limit, stats.ban_count);
  const auto ban = [&] {
    const std::size_t ban_length = doubled(stats.base_ban_length, stats.ban_count);
    ++stats.ban_count;
    stats.ban_end = saturating_add(iteration, ban_length);
    buffer.clear();
    return std::move(buffer);
  };
  // A rule known to match too often is banned without collecting matches it would drop.
  if (const std::optional<std::size_t> count = rewrite.match_count(egraph)) {
    if (*count > threshold) return ban();
    if (settled) {
      ++stats.accepted;
      return buffer;
    }
  }
  // One match past the threshold is enough to know the rule must be banned.
  buffer = rewrite.search(egraph, saturating_add(threshold, 1), std::move(buffer));
  if (buffer.size() > threshold) return ban();
  ++stats.accepted;
  return buffer;
}

std::size_t BackoffScheduler::apply_rewrite(std::size_t, EGraph& egraph, const Rewrite& rewrite,
                                            const MatchList& matches) {
  return rewrite.apply(egraph, matches).size();
}

bool BackoffScheduler::can_stop(std::size_t iteration) {
  std::vector<RuleStats*> banned;
  for (RuleStats& stats : rule_stats_) {
    if (stats.ban_end > iteration) banned.push_back(&stats);
  }
  if (banned.empty()) return true;

  const auto earliest = [](const RuleStats* a, const RuleStats* b) {
    return a->ban_end < b->ban_end;
  };
  const std::size_t min_ban = (*std::min_element(banned.begin(), banned.end(), earliest))->ban_end;
  check_invariant(min_ban >= iteration, "a ban ends before the current iteration");
  const std::size_t delta = min_ban - iteration;
  std::size_t unbanned = 0;
  for (RuleStats* stats : banned) {
    stats->ban_end -= delta;
    if (stats->ban_end == iteration) ++unbanned;
  }
  check_invariant(unbanned > 0, "no rule is due to be unbanned");
  return false;
}

}  // namespace tarnvel::egraph

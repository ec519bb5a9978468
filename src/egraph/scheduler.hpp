// Rewrite schedulers: they decide, rule by rule and iteration by iteration, whether a rule's
// matches are used.
//
// BackoffScheduler bans a rule for a while when one search finds more matches than its threshold,
// and doubles both the threshold and the next ban each time: thresholds 1000, 2000, 4000, ...,
// ban lengths 5, 10, 20, .... A rule is applied in an iteration with all of its matches or not at
// all. When an iteration changes nothing while rules are banned, `can_stop` fast-forwards the bans
// so that the earliest-ending ones are lifted for the very next iteration.
#pragma once

#include <cstddef>
#include <limits>
#include <vector>

#include "egraph/egraph.hpp"
#include "egraph/match_list.hpp"
#include "egraph/pattern.hpp"
#include "egraph/rewrite.hpp"

namespace tarnvel::egraph {

class RewriteScheduler {
 public:
  virtual ~RewriteScheduler() = default;
  // Asked only after an iteration that applied nothing; may change the scheduler's state.
  virtual bool can_stop(std::size_t iteration) = 0;
  // Every match of the rule, or none. `slot` is the rule's slot in its RuleSet: rules that share
  // a name share it, and with it their state. `buffer` is the memory of an earlier result, for the
  // matches to be written into. `settled` tells that applying the matches would change nothing
  // (see Rewrite::settling_op): the decision must be the one a search would lead to, but matches
  // the decision passes on may be left out.
  virtual MatchList search_rewrite(std::size_t iteration, const EGraph& egraph,
                                   const Rewrite& rewrite, std::size_t slot, MatchList buffer,
                                   bool settled) = 0;
  // The number of matches whose application merged two different classes.
  virtual std::size_t apply_rewrite(std::size_t iteration, EGraph& egraph, const Rewrite& rewrite,
                                    const MatchList& matches) = 0;
};

struct RuleStats {
  std::size_t accepted = 0;     // searches whose matches were passed on, empty ones included
  std::size_t ban_end = 0;      // first iteration at which the rule may be searched again
  std::size_t ban_count = 0;
  std::size_t base_match_limit = 0;
  std::size_t base_ban_length = 0;
};

// `base` doubled `doublings` times, or the largest size_t when that does not fit: a threshold or
// a ban length that wrapped would let a rule that matches too often through, or end its ban at
// once.
constexpr std::size_t doubled(std::size_t base, std::size_t doublings) {
  constexpr std::size_t kMax = std::numeric_limits<std::size_t>::max();
  if (base == 0) return 0;
  if (doublings >= std::numeric_limits<std::size_t>::digits || base > (kMax >> doublings)) {
    return kMax;
  }
  return base << doublings;
}

class BackoffScheduler final : public RewriteScheduler {
 public:
  static constexpr std::size_t kDefaultMatchLimit = 1000;
  static constexpr std::size_t kDefaultBanLength = 5;

  BackoffScheduler() = default;
  BackoffScheduler(std::size_t initial_match_limit, std::size_t initial_ban_length)
      : initial_match_limit_(initial_match_limit), initial_ban_length_(initial_ban_length) {}

  bool can_stop(std::size_t iteration) override;
  // A settled rule whose match count is known without searching is not searched.
  MatchList search_rewrite(std::size_t iteration, const EGraph& egraph, const Rewrite& rewrite,
                           std::size_t slot, MatchList buffer, bool settled) override;
  std::size_t apply_rewrite(std::size_t iteration, EGraph& egraph, const Rewrite& rewrite,
                            const MatchList& matches) override;

  // The statistics of the rules of `slot`, or null while no rule of that slot or a later one has
  // been searched.
  const RuleStats* stats(std::size_t slot) const {
    return slot < rule_stats_.size() ? &rule_stats_[slot] : nullptr;
  }

 private:
  RuleStats& stats_for(std::size_t slot);

  std::size_t initial_match_limit_ = kDefaultMatchLimit;
  std::size_t initial_ban_length_ = kDefaultBanLength;
  std::vector<RuleStats> rule_stats_;  // by slot
};

}  // namespace tarnvel::egraph

// RuleSet: rules compiled for running, in the order they are run. Immutable once made, so one set
// can be shared by any number of runs on any threads.
//
// Rules that share a name share their counts and bans: each rule has a slot, the position of its
// name among the distinct names in first-occurrence order, and per-rule state in the runner and the
// scheduler lives in arrays indexed by rule position or by slot. Names are text only where an
// iteration record shows them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "egraph/rewrite.hpp"

namespace tarnvel::egraph {

class RuleSet {
 public:
  explicit RuleSet(std::vector<Rewrite> rules);

  std::span<const Rewrite> rules() const { return rules_; }
  std::size_t size() const { return rules_.size(); }
  const Rewrite& operator[](std::size_t rule) const { return rules_[rule]; }
  // The slot of the rule at position `rule`: below slot_count(), equal for equal names.
  std::size_t slot(std::size_t rule) const { return slots_[rule]; }
  std::size_t slot_count() const { return slot_count_; }
  // Empty when every name is distinct; otherwise the warning a run writes to standard error.
  const std::string& duplicate_warning() const { return duplicate_warning_; }

 private:
  std::vector<Rewrite> rules_;
  std::vector<std::uint32_t> slots_;
  std::size_t slot_count_ = 0;
  std::string duplicate_warning_;
};

}  // namespace tarnvel::egraph

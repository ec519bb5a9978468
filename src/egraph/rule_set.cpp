#include "egraph/rule_set.hpp"

#include <string_view>
#include <utility>

#include "absl/container/flat_hash_map.h"
#include "support/table_growth.hpp"

namespace tarnvel::egraph {

RuleSet::RuleSet(std::vector<Rewrite> rules) : rules_(std::move(rules)) {
  absl::flat_hash_map<std::string_view, std::uint32_t> slot_of(room_for(rules_.size()));
  std::vector<std::string_view> names;  // by slot
  std::vector<std::size_t> occurrences;  // by slot
  slots_.reserve(rules_.size());
  for (const Rewrite& rule : rules_) {
    const auto [entry, inserted] =
        slot_of.try_emplace(rule.name(), static_cast<std::uint32_t>(names.size()));
    if (inserted) {
      names.push_back(rule.name());
      occurrences.push_back(0);
    }
    ++occurrences[entry->second];
    slots_.push_back(entry->second);
  }
  slot_count_ = names.size();
  if (slot_count_ == rules_.size()) return;

  duplicate_warning_ =
      "warning: several rules share a name; their counts and bans are kept together\n";
  for (std::size_t slot = 0; slot < names.size(); ++slot) {
    if (occurrences[slot] < 2) continue;
    duplicate_warning_ += "rule '" + std::string(names[slot]) + "' is given " +
                          std::to_string(occurrences[slot]) + " times\n";
  }
}

}  // namespace tarnvel::egraph

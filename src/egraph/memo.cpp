#include "egraph/memo.hpp"

#include <limits>

#include "support/fault.hpp"
#include "support/table_growth.hpp"

namespace tarnvel::egraph {

Memo::Memo() : keys_(std::make_unique<Keys>()), table_(0, Hash{keys_.get()}, Equal{keys_.get()}) {}

void Memo::reserve(std::size_t count) { reserve_aside(table_, table_.size() + count); }

std::optional<Id> Memo::find(const ENode& node) const {
  const auto entry = table_.find(node);
  if (entry == table_.end()) return std::nullopt;
  return entry->id;
}

std::pair<const Memo::Entry*, bool> Memo::insert(ENode node, Id id) {
  check_invariant(keys_->size() < std::numeric_limits<std::uint32_t>::max(), "memo is full");
  reserve_aside(table_, table_.size() + 1);
  bool inserted = false;
  const auto entry = table_.lazy_emplace(node, [&](const auto& construct) {
    inserted = true;
    const auto key = static_cast<std::uint32_t>(keys_->size());
    keys_->emplace_back(std::move(node));
    construct(Entry{key, id});
  });
  return {&*entry, inserted};
}

}  // namespace tarnvel::egraph

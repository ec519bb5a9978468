#include "egraph/memo.hpp"

#include <limits>

#include "support/fault.hpp"

namespace tarnvel::egraph {

Memo::Memo() : keys_(std::make_unique<Keys>()), table_(0, Hash{keys_.get()}, Equal{keys_.get()}) {}

std::uint32_t Memo::Keys::push_back(ENode node) {
  if ((size_ & kMask) == 0) chunks_.emplace_back().reserve(std::size_t{1} << kChunkBits);
  chunks_.back().push_back(std::move(node));
  return static_cast<std::uint32_t>(size_++);
}

void Memo::reserve(std::size_t count) { table_.reserve(table_.size() + count); }

std::optional<Id> Memo::find(const ENode& node) const {
  const auto entry = table_.find(node);
  if (entry == table_.end()) return std::nullopt;
  return entry->id;
}

std::pair<const Memo::Entry*, bool> Memo::insert(ENode node, Id id) {
  check_invariant(keys_->size() < std::numeric_limits<std::uint32_t>::max(), "memo is full");
  bool inserted = false;
  const auto entry = table_.lazy_emplace(node, [&](const auto& construct) {
    inserted = true;
    construct(Entry{keys_->push_back(std::move(node)), id});
  });
  return {&*entry, inserted};
}

}  // namespace tarnvel::egraph

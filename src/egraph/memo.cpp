#include "egraph/memo.hpp"

#include <limits>
#include <span>

#include "support/fault.hpp"
#include "support/seeded_hash.hpp"

namespace tarnvel::egraph {

// The shared recipe, read off the slot words: the head holds the arity and the symbol.
std::uint32_t Memo::inline_hash(std::uint32_t head, std::uint32_t first, std::uint32_t second) {
  return fold_hash(node_hash_of_two(head & kSymbolMask, head >> 30, first, second));
}

Memo::Key::Key(const SymbolNode& enode) : node(&enode) {
  const std::size_t arity = enode.children.size();
  if (arity <= 2 && enode.op.value <= kSymbolMask) {
    head = static_cast<std::uint32_t>(arity) << 30 | enode.op.value;
    first = arity > 0 ? enode.children[0] : 0;
    second = arity > 1 ? enode.children[1] : 0;
    hash = inline_hash(head, first, second);
    return;
  }
  head = kWide;
  hash = fold_hash(node_hash(enode.op.value, std::span<const Id>(enode.children.data(), arity)));
  first = hash;
  second = 0;
}

void Memo::reserve(std::size_t count) { table_.reserve(count); }

std::optional<Id> Memo::find(const SymbolNode& node) const {
  const Key key(node);
  const auto& segment = table_.segment(key.hash);
  if (segment.size() == 0) return std::nullopt;
  const Slot& slot =
      segment.probe(key.hash, [&](const Slot& candidate) { return matches(candidate, key); });
  if (slot.head == kEmpty) return std::nullopt;
  return slot.id;
}

std::pair<Id*, bool> Memo::insert(const SymbolNode& node, Id id) {
  const Key key(node);
  auto& segment = table_.segment(key.hash);
  if (!segment.has_room()) segment.grow(segment.size() + 1);
  Slot* slot =
      &segment.probe(key.hash, [&](const Slot& candidate) { return matches(candidate, key); });
  if (slot->head != kEmpty) return {&slot->id, false};
  std::uint32_t second = key.second;
  if (key.head == kWide) {
    check_invariant(wide_.size() < std::numeric_limits<std::uint32_t>::max(), "memo is full");
    second = static_cast<std::uint32_t>(wide_.size());
    wide_.emplace_back(node);  // the only step that can fail, and nothing has changed yet
  }
  *slot = Slot{key.head, key.first, second, id};
  segment.added();
  ++size_;
  return {&slot->id, true};
}

}  // namespace tarnvel::egraph

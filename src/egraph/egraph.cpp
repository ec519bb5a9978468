#include "egraph/egraph.hpp"

#include <algorithm>
#include <bit>
#include <iterator>
#include <limits>
#include <string>

#include "support/builtins.hpp"
#include "support/fault.hpp"
#include "support/interruption.hpp"
#include "support/lookahead.hpp"

namespace tarnvel::egraph {
namespace {

// Use lists are mostly a few ids long, too short to pay for a call to memmove.
Id* copy_ids(const Id* first, const Id* last, Id* out) {
  if (last - first > 8) return std::copy(first, last, out);
  while (first != last) *out++ = *first++;
  return out;
}

constexpr std::size_t kNoPrefix = std::numeric_limits<std::size_t>::max();

}  // namespace

void EGraph::reserve(std::size_t count) {
  memo_.reserve(count);
  union_find_.reserve(union_find_.size() + count);
}

void EGraph::canonicalize_children(SymbolNode& node) const {
  for (Id& child : node.children) child = union_find_.find(child);
}

void EGraph::canonicalize_children_halving(SymbolNode& node) {
  for (Id& child : node.children) child = union_find_.find_halving(child);
}

Id EGraph::add(SymbolNode node) {
  canonicalize_children(node);
  if (node.op.value >= added_with_op_.size()) added_with_op_.resize(node.op.value + 1, 0);
  const Id fresh = static_cast<Id>(union_find_.size());
  const auto [entry, inserted] = memo_.insert(node, fresh);
  if (!inserted) return *entry;
  ++added_with_op_[node.op.value];

  // The new node is not queued for repair: its form is canonical now, and if a child loses a merge
  // later, the child's `uses` queue it then.
  for (Id child : node.children) add_use(child, fresh);
  check_invariant(union_find_.make_set() == fresh, "e-graph ids out of step");
  class_slots_.emplace_back();
  added_.emplace_back(std::move(node));
  ++number_of_classes_;
  touched_.push_back(fresh);
  is_clean_ = false;
  return fresh;
}

std::optional<Id> EGraph::lookup(SymbolNode node) const {
  canonicalize_children(node);
  const std::optional<Id> entry = memo_.find(node);
  if (!entry) return std::nullopt;
  return find(*entry);
}

bool EGraph::union_(Id id1, Id id2) {
  is_clean_ = false;
  const Id root1 = find_halving(id1);
  const Id root2 = find_halving(id2);
  if (root1 == root2) return false;

  // Keeping the class with more uses as root re-queues fewer entries; a tie keeps the first.
  Id winner = root1;
  Id loser = root2;
  if (class_slots_[root2].uses.extent.size > class_slots_[root1].uses.extent.size) {
    std::swap(winner, loser);
  }
  union_find_.link(loser, winner);

  const std::span<const Id> removed_uses = uses_of(loser);
  repair_list_.insert(repair_list_.end(), removed_uses.begin(), removed_uses.end());
  merge_nodes(winner, loser);
  merge_uses(winner, loser);
  --number_of_classes_;
  touched_.push_back(winner);
  return true;
}

void EGraph::add_use(Id child, Id user) {
  UseSlot& slot = class_slots_[child].uses;
  const std::uint32_t size = slot.extent.size;
  check_invariant(size < kMaxListSize, "too many uses");
  if (size == 0) {
    slot.word = user;
  } else if (size == 1) {
    const Id first = slot.word;
    slot.word = use_pool_.allocate(2);
    Id* uses = use_pool_.data(slot.word);
    uses[0] = first;
    uses[1] = user;
    slot.extent.room_bits = 1;
  } else if (size == slot.extent.room()) {  // full: move to a range twice the size
    const auto offset = use_pool_.allocate(2 * slot.extent.room());
    const Id* old = use_pool_.data(slot.word);
    Id* uses = use_pool_.data(offset);
    copy_ids(old, old + size, uses);
    uses[size] = user;
    slot.word = offset;
    ++slot.extent.room_bits;
  } else {
    use_pool_.data(slot.word)[size] = user;
  }
  slot.extent.size = size + 1;
}

// The merged list is the longer list followed by the shorter (on a tie the winner's first). It is
// appended in place when the first list's pool range has room, else both move to a new range. An
// own form is copied, since the repairs still read it; a pooled list is moved.
void EGraph::merge_nodes(Id winner, Id loser) {
  NodeSlot& winner_slot = class_slots_[winner].nodes;
  NodeSlot& loser_slot = class_slots_[loser].nodes;
  const std::span<SymbolNode> winner_nodes = nodes_in(winner_slot, winner);
  const std::span<SymbolNode> loser_nodes = nodes_in(loser_slot, loser);
  const bool winner_first = winner_nodes.size() >= loser_nodes.size();
  const NodeSlot first_slot = winner_first ? winner_slot : loser_slot;
  const NodeSlot second_slot = winner_first ? loser_slot : winner_slot;
  const std::span<SymbolNode> first = winner_first ? winner_nodes : loser_nodes;
  const std::span<SymbolNode> second = winner_first ? loser_nodes : winner_nodes;
  const auto transfer = [](std::span<SymbolNode> from, const NodeSlot& slot, SymbolNode* to) {
    return slot.own_form() ? std::copy(from.begin(), from.end(), to)
                           : std::move(from.begin(), from.end(), to);
  };
  const std::size_t size = first.size() + second.size();
  check_invariant(size <= kMaxListSize, "too many nodes in a class");
  NodeSlot merged{first_slot.extent, first_slot.offset};
  merged.extent.size = static_cast<std::uint32_t>(size);
  if (!first_slot.own_form() && first_slot.extent.room() >= size) {
    transfer(second, second_slot, first.data() + first.size());
  } else {
    merged.extent = fitted(size);
    merged.offset = node_pool_.allocate(merged.extent.room());
    transfer(second, second_slot, transfer(first, first_slot, node_pool_.data(merged.offset)));
  }
  winner_slot = merged;
  loser_slot = NodeSlot{Extent{}, 0};
}

void EGraph::merge_uses(Id winner, Id loser) {
  UseSlot& kept_slot = class_slots_[winner].uses;
  UseSlot& removed_slot = class_slots_[loser].uses;
  const std::span<const Id> kept = uses_in(kept_slot);
  const std::span<const Id> removed = uses_in(removed_slot);
  const bool winner_first = kept.size() >= removed.size();
  const std::span<const Id> first = winner_first ? kept : removed;
  const std::span<const Id> second = winner_first ? removed : kept;
  const UseSlot first_slot = winner_first ? kept_slot : removed_slot;
  const std::size_t size = first.size() + second.size();
  check_invariant(size <= kMaxListSize, "too many uses");
  UseSlot merged;
  if (size <= 1) {
    merged.extent.size = static_cast<std::uint32_t>(size);
    merged.word = size == 1 ? first[0] : 0;
  } else if (first.size() >= 2 && first_slot.extent.room() >= size) {
    copy_ids(second.data(), second.data() + second.size(),
             use_pool_.data(first_slot.word) + first.size());
    merged = UseSlot{first_slot.extent, first_slot.word};
    merged.extent.size = static_cast<std::uint32_t>(size);
  } else {
    merged.extent = fitted(size);
    merged.word = use_pool_.allocate(merged.extent.room());
    Id* uses = use_pool_.data(merged.word);
    uses = copy_ids(first.data(), first.data() + first.size(), uses);
    copy_ids(second.data(), second.data() + second.size(), uses);
  }
  kept_slot = merged;
  removed_slot = UseSlot{};
}

void EGraph::truncate_nodes(Id root, std::size_t size) {
  NodeSlot& slot = class_slots_[root].nodes;
  if (!slot.own_form()) slot.extent.size = static_cast<std::uint32_t>(size);
}

// The queue as it stands without repeats, latest first: an e-node queued by several merges is
// re-entered once, in the form all of them gave it.
std::vector<Id> EGraph::take_repair_round() {
  id_mark_.resize(union_find_.size(), 0);
  std::vector<Id> round;
  round.reserve(repair_list_.size());
  for (auto it = repair_list_.rbegin(); it != repair_list_.rend(); ++it) {
    if (id_mark_[*it] != 0) continue;
    id_mark_[*it] = 1;
    round.push_back(*it);
  }
  repair_list_.clear();
  for (Id id : round) id_mark_[id] = 0;
  return round;
}

// Repairs run in rounds: a round re-enters each queued e-node once, and the merges it causes queue
// the next. So a wide e-node whose children merge one by one costs its width once per round, not
// once per merge, and the memo gains one form of it per round.
std::size_t EGraph::process_repairs() {
  std::size_t merges = 0;
  while (!repair_list_.empty()) {
    const std::vector<Id> round = take_repair_round();
    // Each repair reads its form as added, the union-find slots of its children and the memo
    // bucket of its canonical form, each a cache miss on a large e-graph: they load in that order,
    // 16, 8 and 4 repairs ahead.
    for_each_with_lookahead<4>(
        round.size(),
        [&](std::size_t i) {
          SymbolNode node = added_[round[i]];
          canonicalize_children(node);
          return node;
        },
        [&](const SymbolNode& node) { memo_.prefetch(node); },
        [&](std::size_t i, SymbolNode&& node) {
          const Id id = round[i];
          note_work(1 + node.children.size());
          canonicalize_children_halving(node);  // the repairs since may have merged its children
          repaired_children_ += node.children.size();
          touched_.push_back(id);
          const auto [entry, inserted] = memo_.insert(node, id);
          if (inserted) return;
          const Id previous = *entry;
          *entry = id;
          if (union_(previous, id)) ++merges;
        },
        preload<16>([&](std::size_t i) { prefetch_cache_line(&added_[round[i]]); }),
        preload<8>([&](std::size_t i) {
          for (Id child : added_[round[i]].children) union_find_.prefetch(child);
        }));
  }
  return merges;
}

// The distinct roots of the touched classes, ascending. Restricting the class pass to them gives
// the same result as visiting every class: an untouched class was sorted, unique and canonical at
// the last rebuild, nothing was appended to it, and none of its nodes' children lost a merge (a
// child that loses queues every node that uses it, which touches that node's class).
std::vector<Id> EGraph::touched_roots() {
  id_mark_.resize(union_find_.size(), 0);
  std::vector<Id> roots;
  for (Id id : touched_) {
    const Id root = find_halving(id);
    if (id_mark_[root] != 0) continue;
    id_mark_[root] = 1;
    roots.push_back(root);
  }
  touched_.clear();
  if (roots.size() > union_find_.size() / 8) {
    // Dense: one scan in id order is cheaper than sorting.
    roots.clear();
    for (Id id = 0; id < id_mark_.size(); ++id) {
      if (id_mark_[id] == 0) continue;
      id_mark_[id] = 0;
      roots.push_back(id);
    }
    return roots;
  }
  std::sort(roots.begin(), roots.end());
  for (Id root : roots) id_mark_[root] = 0;
  return roots;
}

void EGraph::rebuild_class(Id root) {
  std::span<SymbolNode> all = nodes_of(root);
  for (SymbolNode& node : all) canonicalize_children_halving(node);
  std::sort(all.begin(), all.end());
  const auto unique_end = std::unique(all.begin(), all.end());
  truncate_nodes(root, static_cast<std::size_t>(unique_end - all.begin()));
  const std::span<const SymbolNode> nodes = nodes_of(root);

  // Nodes are sorted by operator first, so each distinct operator starts a run.
  for (std::size_t i = 0; i < nodes.size(); ++i) {
    const Symbol op = nodes[i].op;
    if (i > 0 && nodes[i - 1].op == op) continue;
    if (op.value >= classes_by_op_.size()) {
      classes_by_op_.resize(op.value + 1);
      op_sorted_prefix_.resize(op.value + 1, kNoPrefix);
    }
    std::vector<Id>& list = classes_by_op_[op.value];
    if (op_sorted_prefix_[op.value] == kNoPrefix) {
      op_sorted_prefix_[op.value] = list.size();
      dirty_ops_.push_back(op);
    }
    list.push_back(root);
  }
}

// Brings the per-operator class lists of the touched operators up to date. Each list is its sorted
// part from the last rebuild plus an ascending tail of touched roots appended by `rebuild_class`.
// Dropping ids that are no longer roots and merging the two parts gives exactly the ascending list
// of classes with that operator: a class's operators only ever grow, and a class that lost a merge
// passed its operators to a root that was touched, which marked them dirty.
void EGraph::refresh_op_lists() {
  for (Symbol op : dirty_ops_) {
    std::vector<Id>& list = classes_by_op_[op.value];
    const auto middle = list.begin() + static_cast<std::ptrdiff_t>(op_sorted_prefix_[op.value]);
    const auto kept_end =
        std::remove_if(list.begin(), middle, [&](Id id) { return !union_find_.is_root(id); });
    const auto new_end = std::move(middle, list.end(), kept_end);
    list.erase(new_end, list.end());
    std::inplace_merge(list.begin(), kept_end, list.end());
    list.erase(std::unique(list.begin(), list.end()), list.end());
    op_sorted_prefix_[op.value] = kNoPrefix;
    if (op.value < node_counts_.size()) node_counts_[op.value].clear();
  }
  dirty_ops_.clear();
}

std::size_t EGraph::rebuild() {
  const std::size_t merges = process_repairs();
  // The class pass visits the touched roots in id order, loading ahead each class, then its node
  // list, then the union-find slots of its nodes' children.
  constexpr std::size_t kStep = 8;
  const std::vector<Id> roots = touched_roots();
  for_each_with_lookahead<kStep>(
      roots.size(), [&](std::size_t i) { return roots[i]; },
      [&](Id root) {
        for (const SymbolNode& node : nodes_of(root)) {
          for (Id child : node.children) union_find_.prefetch(child);
        }
      },
      [&](std::size_t, Id root) {
        note_work(1 + nodes_of(root).size());
        rebuild_class(root);
      },
      preload<3 * kStep>([&](std::size_t i) { prefetch_class(roots[i]); }),
      preload<2 * kStep>([&](std::size_t i) { prefetch_class_nodes(roots[i]); }));
  refresh_op_lists();
  is_clean_ = true;
  return merges;
}

std::vector<Id> EGraph::roots() const {
  constexpr Id kUnknown = std::numeric_limits<Id>::max();  // never an id: make_set stops below it
  std::vector<Id> root(union_find_.size(), kUnknown);
  std::vector<Id> path;
  for (Id id = 0; id < root.size(); ++id) {
    Id at = id;
    while (root[at] == kUnknown && !union_find_.is_root(at)) {
      path.push_back(at);
      at = union_find_.parent(at);
    }
    const Id found = root[at] == kUnknown ? at : root[at];
    root[at] = found;
    for (Id walked : path) root[walked] = found;
    path.clear();
  }
  return root;
}

std::span<const Id> EGraph::classes_by_op(Symbol op) const {
  check_invariant(is_clean_, "search needs a rebuilt e-graph");
  if (op.value >= classes_by_op_.size()) return {};
  return classes_by_op_[op.value];
}

std::size_t EGraph::count_nodes(Symbol op, std::size_t arity) const {
  const std::span<const Id> candidates = classes_by_op(op);
  if (op.value >= node_counts_.size()) node_counts_.resize(op.value + 1);
  auto& known = node_counts_[op.value];
  for (const auto& [counted_arity, count] : known) {
    if (counted_arity == arity) return count;
  }
  std::size_t count = 0;
  for_each_with_lookahead<8>(
      candidates.size(), [&](std::size_t i) { return candidates[i]; },
      [&](Id root) { prefetch_class(root); },
      [&](std::size_t, Id root) {
        for (const SymbolNode& node : nodes_of(root)) {
          count += node.op == op && node.children.size() == arity ? 1 : 0;
        }
      });
  known.emplace_back(arity, count);
  return count;
}

void EGraph::verify() const {
  const auto check = [](bool condition, const char* what) {
    if (!condition) fail_invariant(std::string("e-graph check failed: ") + what);
  };
  check(is_clean_, "not rebuilt");
  std::vector<std::vector<Id>> expected_by_op(classes_by_op_.size());
  std::size_t roots = 0;
  for (Id id = 0; id < union_find_.size(); ++id) {
    const EClass eclass{nodes_of(id), uses_of(id)};
    if (!union_find_.is_root(id)) {
      check(eclass.nodes.empty(), "a merged-away class still holds nodes");
      continue;
    }
    ++roots;
    check(!eclass.nodes.empty(), "a class without nodes");
    for (std::size_t i = 0; i < eclass.nodes.size(); ++i) {
      const SymbolNode& node = eclass.nodes[i];
      check(i == 0 || eclass.nodes[i - 1] < node, "class nodes not sorted and unique");
      for (Id child : node.children) check(union_find_.is_root(child), "a child is not a root");
      check(lookup(node) == id, "memo does not map a node to its class");
      if (i > 0 && eclass.nodes[i - 1].op == node.op) continue;
      check(node.op.value < expected_by_op.size(), "an operator missing from the index");
      expected_by_op[node.op.value].push_back(id);
    }
  }
  check(roots == number_of_classes_, "class count differs from the number of roots");
  check(expected_by_op == classes_by_op_, "classes_by_op differs from the classes");
}

}  // namespace tarnvel::egraph

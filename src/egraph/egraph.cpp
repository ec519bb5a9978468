#include "egraph/egraph.hpp"

#include <algorithm>
#include <iterator>
#include <limits>
#include <string>

#include "support/fault.hpp"

namespace tarnvel::egraph {
namespace {

constexpr std::size_t kNoPrefix = std::numeric_limits<std::size_t>::max();

// Merges two lists the way union keeps them: the longer list first, the shorter appended; on equal
// lengths the winner's own list comes first. `loser` is left empty.
template <class List>
void append_shorter_to_longer(List& winner, List& loser) {
  if (winner.size() < loser.size()) winner.swap(loser);
  winner.insert(winner.end(), std::make_move_iterator(loser.begin()),
                std::make_move_iterator(loser.end()));
  loser.clear();
}

}  // namespace

void EGraph::reserve(std::size_t count) {
  memo_.reserve(count);
  added_key_.reserve(added_key_.size() + count);
  union_find_.reserve(union_find_.size() + count);
}

void EGraph::canonicalize_children(ENode& node) const {
  for (Id& child : node.children) child = union_find_.find(child);
}

void EGraph::canonicalize_children_halving(ENode& node) {
  for (Id& child : node.children) child = union_find_.find_halving(child);
}

Id EGraph::add(ENode node) {
  canonicalize_children(node);
  const Id fresh = static_cast<Id>(union_find_.size());
  const auto [entry, inserted] = memo_.insert(std::move(node), fresh);
  if (!inserted) return entry->id;

  check_invariant(union_find_.make_set() == fresh, "e-graph ids out of step");
  const ENode& added = memo_.key(entry->key);
  // The new node is not queued for repair: its form is canonical now, and if a child loses a merge
  // later, the child's `uses` queue it then.
  for (Id child : added.children) classes_[child].uses.push_back(fresh);
  added_key_.push_back(entry->key);
  classes_.emplace_back().nodes.push_back(added);
  ++number_of_classes_;
  touched_.push_back(fresh);
  is_clean_ = false;
  return fresh;
}

std::optional<Id> EGraph::lookup(ENode node) const {
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
  if (classes_[root2].uses.size() > classes_[root1].uses.size()) std::swap(winner, loser);
  union_find_.link(loser, winner);

  EClass& kept = classes_[winner];
  EClass& removed = classes_[loser];
  repair_list_.insert(repair_list_.end(), removed.uses.begin(), removed.uses.end());
  append_shorter_to_longer(kept.nodes, removed.nodes);
  append_shorter_to_longer(kept.uses, removed.uses);
  removed.nodes.shrink_to_fit();
  removed.uses.shrink_to_fit();
  --number_of_classes_;
  touched_.push_back(winner);
  return true;
}

// Repairs are taken from the back of the list; the ones a few places before are loaded ahead in
// three steps (key index, key, then the memo slot of the key's current canonical form), since each
// is a cache miss on a large e-graph.
void EGraph::prefetch_repair() const {
  constexpr std::size_t kSlotDistance = 4;
  constexpr std::size_t kKeyDistance = 8;
  constexpr std::size_t kIndexDistance = 16;
  const std::size_t size = repair_list_.size();
  const auto at = [&](std::size_t distance) { return repair_list_[size - 1 - distance]; };
  if (kIndexDistance < size) __builtin_prefetch(&added_key_[at(kIndexDistance)]);
  if (kKeyDistance < size) memo_.prefetch_key(added_key_[at(kKeyDistance)]);
  if (kSlotDistance < size) {
    ENode node = memo_.key(added_key_[at(kSlotDistance)]);
    canonicalize_children(node);
    memo_.prefetch(node);
  }
}

std::size_t EGraph::process_repairs() {
  std::size_t merges = 0;
  while (!repair_list_.empty()) {
    prefetch_repair();
    const Id id = repair_list_.back();
    repair_list_.pop_back();
    ENode node = memo_.key(added_key_[id]);
    canonicalize_children_halving(node);
    touched_.push_back(id);
    const auto [entry, inserted] = memo_.insert(std::move(node), id);
    if (inserted) continue;
    const Id previous = entry->id;
    entry->id = id;
    if (union_(previous, id)) ++merges;
  }
  return merges;
}

// The distinct roots of the touched classes, ascending. Restricting the class pass to them gives
// the same result as visiting every class: an untouched class was sorted, unique and canonical at
// the last rebuild, nothing was appended to it, and none of its nodes' children lost a merge (a
// child that loses queues every node that uses it, which touches that node's class).
std::vector<Id> EGraph::touched_roots() {
  touched_mark_.resize(union_find_.size(), 0);
  std::vector<Id> roots;
  for (Id id : touched_) {
    const Id root = find_halving(id);
    if (touched_mark_[root] != 0) continue;
    touched_mark_[root] = 1;
    roots.push_back(root);
  }
  touched_.clear();
  if (roots.size() > union_find_.size() / 8) {
    // Dense: one scan in id order is cheaper than sorting.
    roots.clear();
    for (Id id = 0; id < touched_mark_.size(); ++id) {
      if (touched_mark_[id] == 0) continue;
      touched_mark_[id] = 0;
      roots.push_back(id);
    }
    return roots;
  }
  std::sort(roots.begin(), roots.end());
  for (Id root : roots) touched_mark_[root] = 0;
  return roots;
}

void EGraph::rebuild_class(Id root) {
  auto& nodes = classes_[root].nodes;
  for (ENode& node : nodes) canonicalize_children_halving(node);
  std::sort(nodes.begin(), nodes.end());
  nodes.erase(std::unique(nodes.begin(), nodes.end()), nodes.end());

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
    const auto kept_end = std::remove_if(list.begin(), middle,
                                         [&](Id id) { return !union_find_.is_root(id); });
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
  // list when out of line, then the union-find slots of its nodes' children.
  constexpr std::size_t kStep = 8;
  const std::vector<Id> roots = touched_roots();
  for (std::size_t i = 0; i < roots.size(); ++i) {
    if (i + 3 * kStep < roots.size()) prefetch_class(roots[i + 3 * kStep]);
    if (i + 2 * kStep < roots.size()) prefetch_class_nodes(roots[i + 2 * kStep]);
    if (i + kStep < roots.size()) {
      for (const ENode& node : classes_[roots[i + kStep]].nodes) {
        for (Id child : node.children) union_find_.prefetch(child);
      }
    }
    rebuild_class(roots[i]);
  }
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

const ENode& EGraph::added_form(Id id) const {
  find(id);  // rejects an id that was never made
  return memo_.key(added_key_[id]);
}

std::span<const Id> EGraph::classes_by_op(Symbol op) const {
  check_invariant(is_clean_, "Tried to search a dirty e-graph!");
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
  for (std::size_t i = 0; i < candidates.size(); ++i) {
    if (i + 8 < candidates.size()) prefetch_class(candidates[i + 8]);
    for (const ENode& node : classes_[candidates[i]].nodes) {
      count += node.op == op && node.children.size() == arity ? 1 : 0;
    }
  }
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
    const EClass& eclass = classes_[id];
    if (!union_find_.is_root(id)) {
      check(eclass.nodes.empty(), "a merged-away class still holds nodes");
      continue;
    }
    ++roots;
    check(!eclass.nodes.empty(), "a class without nodes");
    for (std::size_t i = 0; i < eclass.nodes.size(); ++i) {
      const ENode& node = eclass.nodes[i];
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

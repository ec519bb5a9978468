// EGraph: e-nodes grouped into e-classes of proven-equal terms, with a hash-cons table (`memo`)
// and congruence restored by an explicit `rebuild`.
//
// Use: `add` terms bottom-up, `union_` classes, then `rebuild` before searching. Between a change
// and the next rebuild the e-graph is dirty: class node lists may hold stale forms and duplicates,
// and the search indexes are out of date. A search refuses a dirty e-graph.
//
// Invariants after `rebuild` (checked by `verify`):
// - every child of every class node is a root, and each class's `nodes` are sorted and unique;
// - congruence: no two classes hold e-nodes that are equal, and `memo` maps each node to its class;
// - `classes_by_op(s)` lists, in ascending id order, exactly the classes holding a node with op s.
//
// Classes live in a sequence indexed by id (a slot per id ever made; the slot of an id that lost a
// merge is empty), so every walk over classes is in id order and a class's id is its slot. There is
// no per-class analysis and no explanation record. The e-graph owns its run's symbol table.
// Move-only; not for concurrent use: even a const member may write (count_nodes remembers its
// counts).
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "absl/container/inlined_vector.h"
#include "egraph/memo.hpp"
#include "egraph/pool.hpp"
#include "egraph/symbol_node.hpp"
#include "egraph/symbol_table.hpp"
#include "egraph/union_find.hpp"
#include "support/builtins.hpp"
#include "support/chunked.hpp"

namespace tarnvel::egraph {

// A view of one class, valid until the e-graph next changes.
struct EClass {
  std::span<const SymbolNode> nodes;  // sorted and unique after a rebuild
  // One entry each time an e-node was created with a child in this class: the id created with
  // that e-node. Never removed, possibly stale.
  std::span<const Id> uses;
};

class EGraph {
 public:
  EGraph() = default;
  // Starts from `symbols` (for example the rule set's table) so that patterns parsed with it match.
  explicit EGraph(SymbolTable symbols) : symbols_(std::move(symbols)) {}

  SymbolTable& symbols() { return symbols_; }
  const SymbolTable& symbols() const { return symbols_; }

  // Capacity hint for `count` more e-nodes.
  void reserve(std::size_t count);

  // Hash-conses `node` (children must be existing ids) and returns the id stored for it; callers
  // that need the root follow with `find`.
  Id add(SymbolNode node);
  // The root of the class holding `node` with its children canonicalized, if any.
  [[nodiscard]] std::optional<Id> lookup(SymbolNode node) const;

  // Whether the class of `id` lists `node` among its (at most `max_nodes`) nodes. A node listed in
  // a class is always a memo key of that class, so a hit means `add(node)` would return an id of
  // this class; a miss proves nothing.
  bool class_lists(Id id, const SymbolNode& node, std::size_t max_nodes) const {
    const std::span<const SymbolNode> nodes = nodes_of(find(id));
    if (nodes.size() > max_nodes) return false;
    for (const SymbolNode& listed : nodes) {
      if (listed == node) return true;
    }
    return false;
  }

  // Hints that `add` or `lookup` of `node` (children already canonical) and indexing `root` come
  // soon; on large graphs these are cache misses worth overlapping. No effect on the state.
  void prefetch_node(const SymbolNode& node) const { memo_.prefetch(node); }
  // The slot of a class: its nodes and its uses.
  void prefetch_class(Id root) const {
    if (root < class_slots_.size()) prefetch_cache_line(&class_slots_[root]);
  }
  // A class's node list when it has outgrown its slot. Reads the slot itself, so it pays off a few
  // steps after `prefetch_class` of the same root.
  void prefetch_class_nodes(Id root) const {
    if (root >= class_slots_.size()) return;
    const NodeSlot& slot = class_slots_[root].nodes;
    if (slot.own_form()) {
      prefetch_cache_line(&added_[root]);
    } else if (slot.extent.size != 0) {
      prefetch_cache_line(node_pool_.data(slot.offset));
    }
  }
  void prefetch_parent(Id id) const { union_find_.prefetch(id); }

  [[nodiscard]] Id find(Id id) const { return union_find_.find(id); }
  // The root of every id ever made, indexed by id, in one linear pass.
  std::vector<Id> roots() const;
  [[nodiscard]] Id find_halving(Id id) { return union_find_.find_halving(id); }
  bool is_root(Id id) const { return id < union_find_.size() && union_find_.is_root(id); }

  // Merges the classes of `id1` and `id2`; true when they were different. `union` is a keyword.
  bool union_(Id id1, Id id2);
  // Restores the invariants above; returns the number of merges congruence caused.
  std::size_t rebuild();

  // The class of `id`'s root; "Invalid id N" for an id that was never made.
  EClass operator[](Id id) const {
    const Id root = find(id);
    return {nodes_of(root), uses_of(root)};
  }

  bool is_clean() const { return is_clean_; }
  // Entries of `memo`, outdated forms included.
  std::size_t total_size() const { return memo_.size(); }
  std::size_t number_of_classes() const { return number_of_classes_; }
  // Number of ids ever made; the live classes are the roots among 0 .. id_count() - 1.
  std::size_t id_count() const { return union_find_.size(); }
  // How many e-nodes with operator `op` were ever created; only grows.
  std::size_t added_with_op(Symbol op) const {
    return op.value < added_with_op_.size() ? added_with_op_[op.value] : 0;
  }

  // REQUIRES: clean. Ascending ids of the classes holding an e-node with operator `op`.
  std::span<const Id> classes_by_op(Symbol op) const;
  // REQUIRES: clean. The number of e-nodes with operator `op` and `arity` children over all
  // classes, which is what a one-level pattern over distinct variables matches. Counted on the
  // first call after a rebuild changed a class holding `op`, then remembered: the only write a
  // const member makes.
  std::size_t count_nodes(Symbol op, std::size_t arity) const;

  // Throws InternalFault unless the e-graph is clean and every invariant above holds. For tests.
  void verify() const;

  // For tests that count the work a rebuild does.
  friend struct EGraphWork;

 private:
  using NodePool = Pool<SymbolNode, 16>;

  // A list's size and, once pooled, the room of its range (always a power of two), packed in one
  // word so that a class slot stays 16 bytes: a list is capped at kMaxListSize entries.
  static constexpr std::uint32_t kMaxListSize = (std::uint32_t{1} << 27) - 1;
  struct Extent {
    std::uint32_t size : 27 = 0;
    std::uint32_t room_bits : 5 = 0;  // the range has room for 2^room_bits entries
    std::size_t room() const { return std::size_t{1} << room_bits; }
  };
  // An extent of `size` entries in a new range of room std::bit_ceil(size).
  static Extent fitted(std::size_t size) {
    return Extent{static_cast<std::uint32_t>(size),
                  static_cast<std::uint32_t>(std::bit_width(std::bit_ceil(size)) - 1)};
  }

  // A class's node list: the form of the e-node created with the class's id (kept in `added_`,
  // canonicalized in place by the rebuild) while the class has never merged, else `size` nodes at
  // a node-pool offset. A single form per id serves both the class list and the repairs, which
  // need only some form of the e-node whose children are equal to those it was added with.
  struct NodeSlot {
    static constexpr std::uint32_t kOwnForm = NodePool::kNoOffset;
    Extent extent{1, 0};
    std::uint32_t offset = kOwnForm;
    bool own_form() const { return offset == kOwnForm; }
  };
  // A class's uses: one inline id, or from two on at a use-pool offset.
  struct UseSlot {
    Extent extent;
    std::uint32_t word = 0;  // the use itself, or the pool offset
  };
  // A class's lists, both empty once the id lost a merge.
  struct ClassSlot {
    NodeSlot nodes;
    UseSlot uses;
  };
  static_assert(sizeof(ClassSlot) == 16, "a class slot is a quarter of a cache line");

  std::span<const SymbolNode> nodes_of(Id root) const {
    return nodes_in(class_slots_[root].nodes, root);
  }
  std::span<SymbolNode> nodes_of(Id root) { return nodes_in(class_slots_[root].nodes, root); }
  // The list of `slot`, the node slot of `root`: for callers that hold the slot already.
  std::span<const SymbolNode> nodes_in(const NodeSlot& slot, Id root) const {
    if (slot.own_form()) return {&added_[root], 1};
    if (slot.extent.size == 0) return {};
    return {node_pool_.data(slot.offset), slot.extent.size};
  }
  std::span<SymbolNode> nodes_in(const NodeSlot& slot, Id root) {
    const std::span<const SymbolNode> nodes = std::as_const(*this).nodes_in(slot, root);
    return {const_cast<SymbolNode*>(nodes.data()), nodes.size()};  // the e-graph owns them
  }
  std::span<const Id> uses_of(Id root) const { return uses_in(class_slots_[root].uses); }
  std::span<const Id> uses_in(const UseSlot& slot) const {
    if (slot.extent.size <= 1) return {&slot.word, slot.extent.size};
    return {use_pool_.data(slot.word), slot.extent.size};
  }
  void add_use(Id child, Id user);
  // Moves the lists of `loser` behind or ahead of those of `winner` the way union orders them.
  void merge_nodes(Id winner, Id loser);
  void merge_uses(Id winner, Id loser);
  // Keeps the first `size` nodes of the class's list.
  void truncate_nodes(Id root, std::size_t size);

  void canonicalize_children(SymbolNode& node) const;
  void canonicalize_children_halving(SymbolNode& node);
  std::size_t process_repairs();
  std::vector<Id> take_repair_round();
  std::vector<Id> touched_roots();
  void rebuild_class(Id root);
  void refresh_op_lists();

  SymbolTable symbols_;
  UnionFind union_find_;
  Chunked<ClassSlot> class_slots_;  // by id
  NodePool node_pool_;
  Pool<Id, 18> use_pool_;
  Chunked<SymbolNode> added_;  // by id: a form of the e-node created with the id
  Memo memo_;
  std::vector<Id> repair_list_;  // ids whose added form must be re-entered, with repeats
  std::size_t repaired_children_ = 0;  // children canonicalized by repairs: the work they did
  std::size_t number_of_classes_ = 0;
  bool is_clean_ = false;

  // Classes whose node lists changed since the last rebuild (created, merged into, or holding an
  // e-node with a child that lost a merge), raw ids with repeats; the class pass visits only these.
  std::vector<Id> touched_;
  std::vector<std::uint8_t> id_mark_;  // by id, scratch for deduplication, all zero between uses

  std::vector<std::vector<Id>> classes_by_op_;  // by symbol
  std::vector<std::size_t> op_sorted_prefix_;  // by symbol, during a rebuild
  std::vector<Symbol> dirty_ops_;
  std::vector<std::size_t> added_with_op_;  // by symbol
  // By symbol: (arity, count) pairs answered since the symbol was last dirty.
  mutable std::vector<absl::InlinedVector<std::pair<std::size_t, std::size_t>, 1>> node_counts_;
};

}  // namespace tarnvel::egraph

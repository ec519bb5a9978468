// UnionFind: one parent slot per class id ever made; an id is a root when its slot holds itself.
//
// `find` never writes, so a clean e-graph can be read without synchronization; `find_halving`
// shortens paths and is what merging and rebuilding use.
#pragma once

#include <vector>

#include "egraph/id.hpp"
#include "support/builtins.hpp"

namespace tarnvel::egraph {

class UnionFind {
 public:
  [[nodiscard]] Id make_set();
  std::size_t size() const { return parents_.size(); }
  void reserve(std::size_t count) { parents_.reserve(count); }

  Id parent(Id id) const { return parents_[id]; }
  void prefetch(Id id) const {
    if (id < parents_.size()) prefetch_cache_line(&parents_[id]);
  }
  bool is_root(Id id) const { return parents_[id] == id; }

  // Both fail with "Invalid id N" for an id that was never made. Inline: they are the innermost
  // step of adding, merging, matching and rebuilding.
  [[nodiscard]] Id find(Id id) const {
    check_id(id);
    while (parents_[id] != id) id = parents_[id];
    return id;
  }
  [[nodiscard]] Id find_halving(Id id) {
    check_id(id);
    while (parents_[id] != id) {
      const Id grandparent = parents_[parents_[id]];
      parents_[id] = grandparent;
      id = grandparent;
    }
    return id;
  }

  // Makes `winner` the parent of `loser`. REQUIRES: both are roots.
  void link(Id loser, Id winner) { parents_[loser] = winner; }

 private:
  void check_id(Id id) const {
    if (id >= parents_.size()) [[unlikely]]
      fail_invalid_id(id);
  }
  [[noreturn, gnu::cold]] static void fail_invalid_id(Id id);

  std::vector<Id> parents_;
};

}  // namespace tarnvel::egraph

#include "egraph/union_find.hpp"

#include <limits>
#include <string>

#include "support/fault.hpp"

namespace tarnvel::egraph {
namespace {

[[noreturn, gnu::cold]] void fail_invalid_id(Id id) {
  fail_invariant("Invalid id " + std::to_string(id));
}

}  // namespace

Id UnionFind::make_set() {
  check_invariant(parents_.size() < std::numeric_limits<Id>::max(), "e-graph ids exhausted");
  const Id id = static_cast<Id>(parents_.size());
  parents_.push_back(id);
  return id;
}

Id UnionFind::find(Id id) const {
  if (id >= parents_.size()) [[unlikely]] fail_invalid_id(id);
  while (parents_[id] != id) id = parents_[id];
  return id;
}

Id UnionFind::find_halving(Id id) {
  if (id >= parents_.size()) [[unlikely]] fail_invalid_id(id);
  while (parents_[id] != id) {
    const Id grandparent = parents_[parents_[id]];
    parents_[id] = grandparent;
    id = grandparent;
  }
  return id;
}

}  // namespace tarnvel::egraph

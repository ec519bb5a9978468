#include "egraph/union_find.hpp"

#include <limits>
#include <string>

#include "support/fault.hpp"

namespace tarnvel::egraph {

void UnionFind::fail_invalid_id(Id id) { fail_invariant("Invalid id " + std::to_string(id)); }

Id UnionFind::make_set() {
  check_invariant(parents_.size() < std::numeric_limits<Id>::max(), "e-graph ids exhausted");
  const Id id = static_cast<Id>(parents_.size());
  parents_.push_back(id);
  return id;
}

}  // namespace tarnvel::egraph

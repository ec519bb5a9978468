// ENode: an operator symbol applied to ordered child classes (the e-node type of the e-graph).
//
// Equality and hashing cover both fields. The total order is by symbol number, then children
// element by element, a prefix before any longer sequence; class node lists are kept in this order.
#pragma once

#include <cstddef>
#include <tuple>

#include "absl/container/inlined_vector.h"
#include "egraph/symbol_table.hpp"
#include "egraph/union_find.hpp"

namespace tarnvel::egraph {

struct ENode {
  // Four ids fit in the space the heap pointer and capacity take anyway.
  using Children = absl::InlinedVector<Id, 4>;

  Symbol op;
  Children children;

  // Same operator and arity: the test a pattern node applies before looking at children.
  bool matches(const ENode& other) const {
    return op == other.op && children.size() == other.children.size();
  }

  // A plain loop: children are a few ids, too short to pay for a call to memcmp.
  friend bool operator==(const ENode& left, const ENode& right) {
    if (left.op != right.op || left.children.size() != right.children.size()) return false;
    for (std::size_t i = 0; i < left.children.size(); ++i) {
      if (left.children[i] != right.children[i]) return false;
    }
    return true;
  }
  friend bool operator<(const ENode& left, const ENode& right) {
    return std::tie(left.op, left.children) < std::tie(right.op, right.children);
  }
  template <class H>
  friend H AbslHashValue(H state, const ENode& node) {
    return H::combine(std::move(state), node.op, node.children);
  }
};

}  // namespace tarnvel::egraph

// SymbolNode: an operator symbol applied to ordered child classes (the e-node type of the e-graph).
//
// Equality and hashing cover both fields. The total order is by symbol number, then children
// element by element, a prefix before any longer sequence; class node lists are kept in this order.
#pragma once

#include <compare>
#include <utility>

#include "egraph/id.hpp"
#include "egraph/symbol_table.hpp"
#include "support/children.hpp"

namespace tarnvel::egraph {

struct SymbolNode {
  using Children = tarnvel::Children;  // e-class ids

  Symbol op;
  Children children;

  // Same operator and arity: the test a pattern node applies before looking at children.
  bool matches(const SymbolNode& other) const {
    return op == other.op && children.size() == other.children.size();
  }

  friend bool operator==(const SymbolNode& left, const SymbolNode& right) {
    return left.op == right.op && left.children == right.children;
  }
  friend bool operator<(const SymbolNode& left, const SymbolNode& right) {
    if (left.op != right.op) return left.op < right.op;
    return (left.children <=> right.children) < 0;
  }
  template <class H>
  friend H AbslHashValue(H state, const SymbolNode& node) {
    return H::combine(std::move(state), node.op, node.children);
  }
};

static_assert(sizeof(SymbolNode) == 16);

}  // namespace tarnvel::egraph

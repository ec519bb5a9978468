// The flat form of a pattern: pattern nodes in which every child index names an earlier entry; the
// last entry is the root.
#pragma once

#include <cstddef>
#include <variant>
#include <vector>

#include "egraph/symbol_node.hpp"
#include "egraph/symbol_table.hpp"

namespace tarnvel::egraph {

// A pattern variable, identified by the symbol of its whole text ("?a", question mark included).
struct Var {
  Symbol symbol;

  friend bool operator==(Var, Var) = default;
  template <class H>
  friend H AbslHashValue(H state, Var var) {
    return H::combine(std::move(state), var.symbol);
  }
};

// An e-node whose children are indices into the same FlatPattern, or a variable.
using PatternNode = std::variant<SymbolNode, Var>;

struct FlatPattern {
  std::vector<PatternNode> nodes;

  std::size_t root() const { return nodes.size() - 1; }
  friend bool operator==(const FlatPattern&, const FlatPattern&) = default;
};

// Re-enters the entries in order into an insertion-ordered set, so that identical sub-patterns
// (repeated variables included) become one entry, and renumbers the children.
FlatPattern compact(const FlatPattern& expr);

}  // namespace tarnvel::egraph

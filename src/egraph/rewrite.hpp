// Rewrite: a named rule that searches for its left pattern and merges each match with the
// instantiated right pattern. Immutable; usable on any e-graph whose symbol table extends the one
// the rule was parsed with.
#pragma once

#include <cstddef>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "egraph/match_list.hpp"
#include "egraph/pattern.hpp"

namespace tarnvel::egraph {

class Rewrite {
 public:
  // Fails with "rule {name} uses variable {var}, which its left side does not bind" for the first
  // variable of `applier` that `searcher` does not bind.
  [[nodiscard]] static std::expected<Rewrite, std::string> make(std::string name, Pattern searcher,
                                                                Pattern applier,
                                                                const SymbolTable& symbols);
  // Parses both sides with `symbols`; a parse error is reported through its message.
  [[nodiscard]] static std::expected<Rewrite, std::string> parse(std::string name,
                                                                 std::string_view searcher,
                                                                 std::string_view applier,
                                                                 SymbolTable& symbols);

  const std::string& name() const { return name_; }
  const Pattern& searcher() const { return searcher_; }
  const Pattern& applier() const { return applier_; }

  MatchList search(const EGraph& egraph, std::size_t limit, MatchList buffer = {}) const {
    return searcher_.search(egraph, limit, std::move(buffer));
  }
  std::optional<std::size_t> match_count(const EGraph& egraph) const {
    return searcher_.match_count(egraph);
  }
  std::vector<Id> apply(EGraph& egraph, const MatchList& matches) const {
    return applier_.apply_matches(egraph, matches);
  }

  // Set for a rule that settles: once every one of its matches has been applied, applying its
  // matches again to the e-graph as rebuilt changes nothing until an e-node with this operator is
  // added, whatever merges happen meanwhile. Such a rule's left side is one operator over distinct
  // variables, and its right side is one of those variables, or the same operator over a
  // reordering of them that undoes itself (as commutativity does). Then each match's class holds
  // its instance, unions and rebuilds keep it there, and an instance the rule itself adds is a
  // match whose own instance is the node it was made from.
  std::optional<Symbol> settling_op() const { return settling_op_; }
  // Whether the right side is a variable: applying the rule adds no e-node, so a settled rule
  // changes nothing even on an e-graph changed since its last rebuild. An added instance, by
  // contrast, is found by the memo only under the children's forms as of that rebuild.
  bool only_merges() const {
    return std::holds_alternative<Var>(applier_.ast().nodes[applier_.ast().root()]);
  }

 private:
  Rewrite(std::string name, Pattern searcher, Pattern applier);

  std::string name_;
  Pattern searcher_;
  Pattern applier_;
  std::optional<Symbol> settling_op_;
};

}  // namespace tarnvel::egraph

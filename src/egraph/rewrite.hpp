// Rewrite: a named rule that searches for its left pattern and merges each match with the
// instantiated right pattern. Immutable; usable on any e-graph whose symbol table extends the one
// the rule was parsed with.
#pragma once

#include <cstddef>
#include <expected>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "egraph/pattern.hpp"

namespace tarnvel::egraph {

class Rewrite {
 public:
  // Fails with "Rewrite {name} refers to unbound var {var}" for the first variable of `applier`
  // that `searcher` does not bind.
  static std::expected<Rewrite, std::string> make(std::string name, Pattern searcher,
                                                  Pattern applier, const SymbolTable& symbols);
  // Parses both sides with `symbols`; a parse error is reported through its message.
  static std::expected<Rewrite, std::string> parse(std::string name, std::string_view searcher,
                                                   std::string_view applier, SymbolTable& symbols);

  const std::string& name() const { return name_; }
  const Pattern& searcher() const { return searcher_; }
  const Pattern& applier() const { return applier_; }

  std::vector<SearchMatches> search(const EGraph& egraph, std::size_t limit,
                                    std::vector<SearchMatches> buffer = {}) const {
    return searcher_.search(egraph, limit, std::move(buffer));
  }
  std::optional<std::size_t> match_count(const EGraph& egraph) const {
    return searcher_.match_count(egraph);
  }
  std::vector<Id> apply(EGraph& egraph, std::span<const SearchMatches> matches) const {
    return applier_.apply_matches(egraph, matches);
  }

 private:
  Rewrite(std::string name, Pattern searcher, Pattern applier)
      : name_(std::move(name)), searcher_(std::move(searcher)), applier_(std::move(applier)) {}

  std::string name_;
  Pattern searcher_;
  Pattern applier_;
};

}  // namespace tarnvel::egraph

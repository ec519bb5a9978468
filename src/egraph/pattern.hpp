// Pattern: a term with `?`-variables, parsed from an S-expression text, compacted and compiled once
// into a matching program, then searched in any number of e-graphs.
//
// A pattern's symbols belong to the table it was parsed with. REQUIRES for search and apply: the
// e-graph's symbol table is that table or a copy of it extended with further texts.
//
// Example: "(op|add ?a ?b)" matches every e-node with operator "op|add" and two children; "?x"
// alone matches every class once.
#pragma once

#include <cstddef>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "egraph/egraph.hpp"
#include "egraph/flat_pattern.hpp"
#include "egraph/machine.hpp"
#include "egraph/match_list.hpp"
#include "egraph/sexp.hpp"
#include "egraph/symbol_table.hpp"

namespace tarnvel::egraph {

// Parse error kinds, returned as values.
struct EmptyExpression {  // no text at all, or an empty list "()"
  friend bool operator==(const EmptyExpression&, const EmptyExpression&) = default;
};
struct ListAsOperator {  // a list whose first element is itself a list
  friend bool operator==(const ListAsOperator&, const ListAsOperator&) = default;
};
struct VariableWithOperands {
  std::string text;  // the variable, "?" included
  friend bool operator==(const VariableWithOperands&, const VariableWithOperands&) = default;
};
struct MalformedText {  // the S-expression reader's error
  SexpError error;
  friend bool operator==(const MalformedText&, const MalformedText&) = default;
};
using PatternParseError =
    std::variant<EmptyExpression, ListAsOperator, VariableWithOperands, MalformedText>;
std::string to_string(const PatternParseError& error);

// Parses `text` into a flat pattern, children first, not yet compacted. Symbols are interned in
// `symbols`; a variable is an atom of at least two characters beginning with "?".
[[nodiscard]] std::expected<FlatPattern, PatternParseError> parse_flat_pattern(
    std::string_view text, SymbolTable& symbols);

class Pattern {
 public:
  // Compacts `expr` and compiles it. REQUIRES: `expr` is not empty.
  explicit Pattern(const FlatPattern& expr);
  [[nodiscard]] static std::expected<Pattern, PatternParseError> parse(std::string_view text,
                                                                       SymbolTable& symbols);

  const FlatPattern& ast() const { return ast_; }
  const Program& program() const { return program_; }
  // The distinct variables in entry order.
  std::vector<Var> vars() const;
  // Set when the pattern is one operator over distinct variables: the program's single Bind,
  // which puts child i in register `output + i`.
  const std::optional<Bind>& flat_root() const { return flat_root_; }

  // REQUIRES: `egraph` is clean ("search needs a rebuilt e-graph"). The matches in candidate
  // classes in ascending id order, at most `limit` in all, binding `program().vars` in that order.
  // The matches are written into `buffer`, emptied first: a caller that searches again and again
  // hands back the previous result, so that its memory is reused instead of freed and faulted in
  // anew.
  MatchList search(const EGraph& egraph, std::size_t limit, MatchList buffer = {}) const;
  // REQUIRES: `egraph` is clean. The number of matches an unlimited search would find, when
  // it can be told without searching: for a single operator over distinct variables it is the
  // number of e-nodes with that operator and arity. Otherwise nothing.
  std::optional<std::size_t> match_count(const EGraph& egraph) const;

  // Instantiates this pattern as a right-hand side for every match in order and merges the
  // instance with the matched class (instance first). Returns the instances whose merge changed the
  // e-graph. REQUIRES: every variable of this pattern is bound by the matches, unless there are
  // none.
  std::vector<Id> apply_matches(EGraph& egraph, const MatchList& matches) const;

 private:
  // `columns[i]` is the row position of the class bound to the variable at entry i; entries that
  // are not variables have no column.
  using Columns = std::vector<std::size_t>;
  // A match's instance as planned ahead of its application: the node of entry `first_leaf_`
  // computed from the row, and whether that node is the whole instance (the root is the first
  // leaf), the one case that needs no walk over the entries.
  struct InstancePlan {
    std::optional<SymbolNode> first_leaf;
    bool whole = false;
    bool listed = false;  // whole, and the matched class listed it when planned
  };
  InstancePlan plan_instance(const EGraph& egraph, std::span<const Id> row,
                             const Columns& columns) const;
  // Starts loading what adding the planned node reads, unless nothing will be added.
  static void load_planned(const EGraph& egraph, const InstancePlan& plan);
  // The instance's class, adding what the e-graph lacks of it.
  [[nodiscard]] Id instantiate(EGraph& egraph, std::span<const Id> row, const Columns& columns,
                               std::vector<Id>& ids, InstancePlan plan) const;
  SymbolNode first_leaf_node(const EGraph& egraph, std::span<const Id> row,
                             const Columns& columns) const;
  [[nodiscard]] Id add_root(EGraph& egraph, SymbolNode node, Id matched) const;

  FlatPattern ast_;
  Program program_;
  // The first e-node entry, when its children are all variables: the first e-node an instantiation
  // adds, computable from a substitution alone, so its memo slot can be loaded ahead.
  std::optional<std::size_t> first_leaf_;
  // Set when the program is one Bind of the root over distinct variables.
  std::optional<Bind> flat_root_;
};

}  // namespace tarnvel::egraph

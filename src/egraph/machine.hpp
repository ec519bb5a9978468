// The matching machine: a pattern compiled to a small program of register instructions, run on one
// e-class depth first with backtracking.
//
// Register 0 holds the class being matched. `Bind` enumerates the e-nodes of a class that match a
// pattern e-node and writes their children to fresh consecutive registers; `Compare` checks a
// repeated variable; `Lookup` checks a ground sub-pattern (one without variables) through the
// e-graph's hash-cons table instead of binding through it.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <variant>
#include <vector>

#include "absl/container/inlined_vector.h"
#include "egraph/egraph.hpp"
#include "egraph/flat_pattern.hpp"

namespace tarnvel::egraph {

using Register = std::uint32_t;

struct Bind {
  Symbol op;
  std::uint32_t arity = 0;
  Register input = 0;
  Register output = 0;  // first of `arity` consecutive registers
};

struct Compare {
  Register first = 0;
  Register second = 0;
};

struct Lookup {
  std::vector<SymbolNode> term;  // bottom-up; children index earlier entries; the last is the term
  Register input = 0;
};

using Instruction = std::variant<Bind, Compare, Lookup>;

struct Program {
  std::vector<Instruction> instructions;
  // The distinct variables in first-occurrence order, and the register that holds each one's class.
  absl::InlinedVector<Var, 3> vars;
  absl::InlinedVector<Register, 3> var_registers;
  std::size_t register_count = 1;

  // REQUIRES: `expr` is compacted and not empty.
  static Program compile(const FlatPattern& expr);
};

// The matches of one pattern, as rows of equal width in one array: the matched class, then the
// class bound to each of `vars()` in order. Every match of a pattern binds the same variables, so
// a row costs 4 bytes per column; a search of a large graph keeps millions of rows.
class MatchList {
 public:
  MatchList() = default;
  explicit MatchList(std::span<const Var> vars) { reset(vars); }

  // Empties the list for matches binding `vars`, keeping its memory for the rows to come.
  void reset(std::span<const Var> vars) {
    vars_.assign(vars.begin(), vars.end());
    ids_.clear();
  }
  void clear() { ids_.clear(); }
  void reserve(std::size_t rows) { ids_.reserve(rows * width()); }

  std::span<const Var> vars() const { return vars_; }
  std::size_t width() const { return 1 + vars_.size(); }
  std::size_t size() const { return ids_.size() / width(); }
  bool empty() const { return ids_.empty(); }
  std::span<const Id> row(std::size_t index) const {
    return std::span<const Id>(ids_).subspan(index * width(), width());
  }
  // The row position of `var`'s class, or nothing when the matches do not bind it.
  std::optional<std::size_t> column(Var var) const {
    const auto found = std::find(vars_.begin(), vars_.end(), var);
    if (found == vars_.end()) return std::nullopt;
    return 1 + static_cast<std::size_t>(found - vars_.begin());
  }

  // Appends a row for a match in `eclass`; returns its variable slots, in `vars()` order, to fill.
  std::span<Id> add_row(Id eclass) {
    ids_.push_back(eclass);
    ids_.resize(ids_.size() + vars_.size());
    return std::span<Id>(ids_).last(vars_.size());
  }

  friend bool operator==(const MatchList&, const MatchList&) = default;

 private:
  std::vector<Var> vars_;
  std::vector<Id> ids_;
};

// Runs programs; the register buffer is reused from run to run.
class Machine {
 public:
  // REQUIRES: `egraph` is clean, `eclass` a root, and `out` binds `program.vars`. Appends to `out`
  // the matches of `program` in `eclass`, one per way of embedding, stopping after `limit`;
  // returns how many.
  std::size_t run(const EGraph& egraph, const Program& program, Id eclass, std::size_t limit,
                  MatchList& out);

 private:
  struct Run;
  bool execute(Run& run, std::size_t pc);
  bool bind(Run& run, std::size_t pc, const Bind& instruction);
  bool lookup(const EGraph& egraph, const Lookup& instruction) const;

  std::vector<Id> registers_;
};

}  // namespace tarnvel::egraph

// The matching machine: a pattern compiled to a small program of register instructions, run on one
// e-class depth first with backtracking.
//
// Register 0 holds the class being matched. `Bind` enumerates the e-nodes of a class that match a
// pattern e-node and writes their children to fresh consecutive registers; `Compare` checks a
// repeated variable; `Lookup` checks a ground sub-pattern (one without variables) through the
// e-graph's hash-cons table instead of binding through it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <variant>
#include <vector>

#include "absl/container/inlined_vector.h"
#include "egraph/egraph.hpp"
#include "egraph/flat_pattern.hpp"
#include "egraph/match_list.hpp"

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

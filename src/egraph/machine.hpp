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
#include <optional>
#include <utility>
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
  // Each variable with the register that holds its class, in first-occurrence order.
  absl::InlinedVector<std::pair<Var, Register>, 3> variables;
  std::size_t register_count = 1;

  // REQUIRES: `expr` is compacted and not empty.
  static Program compile(const FlatPattern& expr);
};

// A substitution: each variable of a pattern with the class it matched. Two pairs stay inline, as
// many as any rule of the rewrite engine binds: a search of a large graph keeps millions of these,
// so each byte counts (a pattern with more variables spills to the heap).
class Substitution {
 public:
  void insert(Var var, Id id) { pairs_.emplace_back(var, id); }
  [[nodiscard]] std::optional<Id> get(Var var) const {
    for (const auto& [bound, id] : pairs_) {
      if (bound == var) return id;
    }
    return std::nullopt;
  }
  std::size_t size() const { return pairs_.size(); }
  auto begin() const { return pairs_.begin(); }
  auto end() const { return pairs_.end(); }

  friend bool operator==(const Substitution&, const Substitution&) = default;

 private:
  absl::InlinedVector<std::pair<Var, Id>, 2> pairs_;
};

// The substitutions found in one class; most classes yield one or two, which stay inline.
using Substitutions = absl::InlinedVector<Substitution, 2>;

// Runs programs; the register buffer is reused from run to run.
class Machine {
 public:
  // REQUIRES: `egraph` is clean and `eclass` a root. Appends to `out` the substitutions of
  // `program` in `eclass`, one per way of embedding, stopping after `limit`; returns how many.
  std::size_t run(const EGraph& egraph, const Program& program, Id eclass, std::size_t limit,
                  Substitutions& out);

 private:
  struct Run;
  bool execute(Run& run, std::size_t pc);
  bool bind(Run& run, std::size_t pc, const Bind& instruction);
  bool lookup(const EGraph& egraph, const Lookup& instruction) const;

  std::vector<Id> registers_;
};

}  // namespace tarnvel::egraph

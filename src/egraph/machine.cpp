#include "egraph/machine.hpp"

#include <algorithm>

#include "support/fault.hpp"

namespace tarnvel::egraph {
namespace {

// Below this many e-nodes a plain scan of the class beats a binary search for the operator.
constexpr std::size_t kScanLimit = 50;

std::vector<bool> ground_entries(const FlatPattern& expr) {
  std::vector<bool> ground(expr.nodes.size(), false);
  for (std::size_t i = 0; i < expr.nodes.size(); ++i) {
    const auto* enode = std::get_if<SymbolNode>(&expr.nodes[i]);
    if (enode == nullptr) continue;
    ground[i] = std::all_of(enode->children.begin(), enode->children.end(),
                            [&](Id child) { return ground[child]; });
  }
  return ground;
}

// The ground sub-pattern rooted at `root`, renumbered into a standalone bottom-up term.
std::vector<SymbolNode> extract_term(const FlatPattern& expr, std::size_t root) {
  std::vector<bool> reached(root + 1, false);
  reached[root] = true;
  for (std::size_t i = root + 1; i-- > 0;) {
    if (!reached[i]) continue;
    for (Id child : std::get<SymbolNode>(expr.nodes[i]).children) reached[child] = true;
  }
  std::vector<Id> renumbered(root + 1);
  std::vector<SymbolNode> term;
  for (std::size_t i = 0; i <= root; ++i) {
    if (!reached[i]) continue;
    SymbolNode node = std::get<SymbolNode>(expr.nodes[i]);
    for (Id& child : node.children) child = renumbered[child];
    renumbered[i] = static_cast<Id>(term.size());
    term.push_back(std::move(node));
  }
  return term;
}

}  // namespace

// Pending sub-patterns are taken cheapest first: variables (a record or a Compare), then ground
// sub-patterns (one Lookup), then e-nodes to bind, each group in the order it was reached. The
// order only changes the order in which substitutions are found, never their set.
Program Program::compile(const FlatPattern& expr) {
  check_invariant(!expr.nodes.empty(), "cannot compile an empty pattern");
  const std::vector<bool> ground = ground_entries(expr);
  const std::size_t root = expr.root();

  struct Pending {
    std::size_t entry;
    Register reg;
  };
  const auto rank = [&](const Pending& pending) {
    if (std::holds_alternative<Var>(expr.nodes[pending.entry])) return 0;
    return ground[pending.entry] && pending.entry != root ? 1 : 2;
  };

  Program program;
  std::vector<Pending> pending{{root, 0}};
  while (!pending.empty()) {
    const auto next =
        std::min_element(pending.begin(), pending.end(),
                         [&](const Pending& a, const Pending& b) { return rank(a) < rank(b); });
    const Pending current = *next;
    pending.erase(next);

    if (const auto* var = std::get_if<Var>(&expr.nodes[current.entry])) {
      const auto seen = std::find(program.vars.begin(), program.vars.end(), *var);
      if (seen == program.vars.end()) {
        program.vars.push_back(*var);
        program.var_registers.push_back(current.reg);
      } else {
        const Register first = program.var_registers[seen - program.vars.begin()];
        program.instructions.push_back(Compare{first, current.reg});
      }
      continue;
    }
    if (rank(current) == 1) {
      program.instructions.push_back(Lookup{extract_term(expr, current.entry), current.reg});
      continue;
    }
    const SymbolNode& node = std::get<SymbolNode>(expr.nodes[current.entry]);
    const auto output = static_cast<Register>(program.register_count);
    const auto arity = static_cast<std::uint32_t>(node.children.size());
    program.instructions.push_back(Bind{node.op, arity, current.reg, output});
    program.register_count += arity;
    for (std::uint32_t k = 0; k < arity; ++k) pending.push_back({node.children[k], output + k});
  }
  return program;
}

struct Machine::Run {
  const EGraph& egraph;
  const Program& program;
  MatchList& out;
  std::size_t remaining;
};

std::size_t Machine::run(const EGraph& egraph, const Program& program, Id eclass, std::size_t limit,
                         MatchList& out) {
  if (limit == 0) return 0;
  check_invariant(egraph.is_clean(), "search needs a rebuilt e-graph");
  check_invariant(std::ranges::equal(out.vars(), program.vars),
                  "matches collected for other variables");
  registers_.assign(program.register_count, 0);
  registers_[0] = eclass;
  Run run{egraph, program, out, limit};
  execute(run, 0);
  return limit - run.remaining;
}

// Returns false once the limit is used up, which unwinds the whole run.
bool Machine::execute(Run& run, std::size_t pc) {
  if (pc == run.program.instructions.size()) {
    const std::span<Id> row = run.out.add_row(registers_[0]);
    for (std::size_t k = 0; k < row.size(); ++k) row[k] = registers_[run.program.var_registers[k]];
    return --run.remaining > 0;
  }
  const Instruction& instruction = run.program.instructions[pc];
  if (const auto* bind_instruction = std::get_if<Bind>(&instruction)) {
    return bind(run, pc, *bind_instruction);
  }
  if (const auto* compare = std::get_if<Compare>(&instruction)) {
    return registers_[compare->first] != registers_[compare->second] || execute(run, pc + 1);
  }
  return !lookup(run.egraph, std::get<Lookup>(instruction)) || execute(run, pc + 1);
}

bool Machine::bind(Run& run, std::size_t pc, const Bind& instruction) {
  const auto& nodes = run.egraph[registers_[instruction.input]].nodes;
  auto first = nodes.begin();
  auto last = nodes.end();
  if (nodes.size() >= kScanLimit) {
    // Sorted by operator first: the candidates are one contiguous run.
    first = std::lower_bound(first, last, instruction.op,
                             [](const SymbolNode& node, Symbol op) { return node.op < op; });
    last = std::upper_bound(first, last, instruction.op,
                            [](Symbol op, const SymbolNode& node) { return op < node.op; });
  }
  for (auto node = first; node != last; ++node) {
    if (node->op != instruction.op || node->children.size() != instruction.arity) continue;
    std::copy(node->children.begin(), node->children.end(),
              registers_.begin() + instruction.output);
    if (!execute(run, pc + 1)) return false;
  }
  return true;
}

bool Machine::lookup(const EGraph& egraph, const Lookup& instruction) const {
  absl::InlinedVector<Id, 4> ids;
  for (const SymbolNode& term_node : instruction.term) {
    SymbolNode node{term_node.op, {}};
    for (Id child : term_node.children) node.children.push_back(ids[child]);
    const std::optional<Id> found = egraph.lookup(std::move(node));
    if (!found) return false;
    ids.push_back(*found);
  }
  return ids.back() == registers_[instruction.input];
}

}  // namespace tarnvel::egraph

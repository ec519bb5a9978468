#include "egraph/rewrite.hpp"

#include <algorithm>
#include <variant>
#include <vector>

namespace tarnvel::egraph {
namespace {

// The operator of `searcher` when the two sides form a settling rule (see Rewrite::settling_op).
std::optional<Symbol> settling_op(const Pattern& searcher, const Pattern& applier) {
  const std::optional<Bind>& bind = searcher.flat_root();
  if (!bind) return std::nullopt;
  const FlatPattern& right = applier.ast();
  const PatternNode& right_root = right.nodes[right.root()];
  if (std::holds_alternative<Var>(right_root)) return bind->op;
  const SymbolNode& instance = std::get<SymbolNode>(right_root);
  if (instance.op != bind->op || instance.children.size() != bind->arity) return std::nullopt;
  // Position i of the instance takes the variable of the left side's position order[i].
  std::vector<std::size_t> order;
  for (Id child : instance.children) {
    const auto* var = std::get_if<Var>(&right.nodes[child]);
    if (var == nullptr) return std::nullopt;
    const Program& program = searcher.program();
    for (std::size_t k = 0; k < program.vars.size(); ++k) {
      if (program.vars[k] == *var) order.push_back(program.var_registers[k] - bind->output);
    }
  }
  for (std::size_t i = 0; i < order.size(); ++i) {
    if (order[order[i]] != i) return std::nullopt;
  }
  return bind->op;
}

}  // namespace

Rewrite::Rewrite(std::string name, Pattern searcher, Pattern applier)
    : name_(std::move(name)),
      searcher_(std::move(searcher)),
      applier_(std::move(applier)),
      settling_op_(egraph::settling_op(searcher_, applier_)) {}

std::expected<Rewrite, std::string> Rewrite::make(std::string name, Pattern searcher,
                                                  Pattern applier, const SymbolTable& symbols) {
  const std::vector<Var> bound = searcher.vars();
  for (Var var : applier.vars()) {
    if (std::find(bound.begin(), bound.end(), var) != bound.end()) continue;
    return std::unexpected("rule " + name + " uses variable " +
                           std::string(symbols.text(var.symbol)) +
                           ", which its left side does not bind");
  }
  return Rewrite(std::move(name), std::move(searcher), std::move(applier));
}

std::expected<Rewrite, std::string> Rewrite::parse(std::string name, std::string_view searcher,
                                                   std::string_view applier, SymbolTable& symbols) {
  auto left = Pattern::parse(searcher, symbols);
  if (!left) return std::unexpected(to_string(left.error()));
  auto right = Pattern::parse(applier, symbols);
  if (!right) return std::unexpected(to_string(right.error()));
  return make(std::move(name), std::move(*left), std::move(*right), symbols);
}

}  // namespace tarnvel::egraph

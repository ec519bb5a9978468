#include "egraph/rewrite.hpp"

#include <algorithm>
#include <variant>
#include <vector>

namespace tarnvel::egraph {
namespace {

// The operator of `left` when `left` and `right` form a settling rule (see Rewrite::settling_op).
std::optional<Symbol> settling_op(const RecExpr& left, const RecExpr& right) {
  const auto* root = std::get_if<ENode>(&left.nodes[left.root()]);
  if (root == nullptr) return std::nullopt;
  // Compacted, so distinct variables are distinct entries: position i of the left side binds
  // entry root->children[i].
  const auto& vars = root->children;
  for (std::size_t i = 0; i < vars.size(); ++i) {
    if (!std::holds_alternative<Var>(left.nodes[vars[i]])) return std::nullopt;
    if (std::find(vars.begin(), vars.begin() + i, vars[i]) != vars.begin() + i) return std::nullopt;
  }
  const auto position_of = [&](const ENodeOrVar& entry) -> std::optional<std::size_t> {
    const auto* var = std::get_if<Var>(&entry);
    if (var == nullptr) return std::nullopt;
    for (std::size_t i = 0; i < vars.size(); ++i) {
      if (std::get<Var>(left.nodes[vars[i]]) == *var) return i;
    }
    return std::nullopt;
  };
  const ENodeOrVar& right_root = right.nodes[right.root()];
  if (std::holds_alternative<Var>(right_root)) return root->op;
  const ENode& instance = std::get<ENode>(right_root);
  if (instance.op != root->op || instance.children.size() != vars.size()) return std::nullopt;
  // Position i of the instance takes the variable of the left side's position order[i].
  std::vector<std::size_t> order;
  for (Id child : instance.children) {
    const std::optional<std::size_t> position = position_of(right.nodes[child]);
    if (!position) return std::nullopt;
    order.push_back(*position);
  }
  for (std::size_t i = 0; i < order.size(); ++i) {
    if (order[order[i]] != i) return std::nullopt;
  }
  return root->op;
}

}  // namespace

Rewrite::Rewrite(std::string name, Pattern searcher, Pattern applier)
    : name_(std::move(name)),
      searcher_(std::move(searcher)),
      applier_(std::move(applier)),
      settling_op_(egraph::settling_op(searcher_.ast(), applier_.ast())) {}

std::expected<Rewrite, std::string> Rewrite::make(std::string name, Pattern searcher,
                                                  Pattern applier, const SymbolTable& symbols) {
  const std::vector<Var> bound = searcher.vars();
  for (Var var : applier.vars()) {
    if (std::find(bound.begin(), bound.end(), var) != bound.end()) continue;
    return std::unexpected("Rewrite " + name + " refers to unbound var " +
                           std::string(symbols.text(var.symbol)));
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

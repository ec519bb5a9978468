#include "egraph/rewrite.hpp"

#include <algorithm>

namespace tarnvel::egraph {

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

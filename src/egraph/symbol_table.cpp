#include "egraph/symbol_table.hpp"

#include <limits>

#include "support/fault.hpp"

namespace tarnvel::egraph {

Symbol SymbolTable::intern(std::string_view text) {
  // The installed Abseil has its own string_view type, which the heterogeneous lookup expects.
  const auto found = index_.find(absl::string_view(text.data(), text.size()));
  if (found != index_.end()) return found->second;
  check_invariant(texts_.size() < std::numeric_limits<std::uint32_t>::max(),
                  "symbol table is full");
  const Symbol symbol{static_cast<std::uint32_t>(texts_.size())};
  texts_.emplace_back(text);
  index_.emplace(texts_.back(), symbol);
  return symbol;
}

std::string_view SymbolTable::text(Symbol symbol) const {
  check_invariant(symbol.value < texts_.size(), "unknown symbol");
  return texts_[symbol.value];
}

}  // namespace tarnvel::egraph

#include "egraph/symbol_table.hpp"

#include <limits>
#include <string>
#include <utility>

#include "support/fault.hpp"
#include "support/table_growth.hpp"

namespace tarnvel::egraph {

Symbol SymbolTable::intern(std::string_view text) {
  // The installed Abseil has its own string_view type, which the heterogeneous lookup expects.
  const auto found = index_.find(absl::string_view(text.data(), text.size()));
  if (found != index_.end()) return found->second;
  check_invariant(texts_.size() < std::numeric_limits<std::uint32_t>::max(),
                  "symbol table is full");
  const Symbol symbol{static_cast<std::uint32_t>(texts_.size())};
  // Everything that can fail comes first, so that a failed allocation leaves the table as it was.
  std::string key(text);
  reserve_aside(index_, index_.size() + 1);
  texts_.emplace_back(text);
  index_.emplace(std::move(key), symbol);
  return symbol;
}

SymbolTable& SymbolTable::operator=(const SymbolTable& other) {
  SymbolTable copy(other);
  *this = std::move(copy);
  return *this;
}

std::string_view SymbolTable::text(Symbol symbol) const {
  check_index(symbol.value, texts_.size(), "symbol");
  return texts_[symbol.value];
}

}  // namespace tarnvel::egraph

// SymbolTable: interns operator and variable texts as small dense numbers.
//
// A table is scoped to one engine run: the rule set owns one with the rules' symbols, and every
// e-graph starts from a copy of it and interns the run's input texts on top. Equal texts give equal
// symbols within one table and its copies' shared prefix; nothing is process-wide, so there is no
// lock and no memory that outlives the run.
//
// Invariant: symbol numbers are dense from 0 in first-interning order, so they can index vectors.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "absl/container/flat_hash_map.h"
#include "support/table_growth.hpp"

namespace tarnvel::egraph {

struct Symbol {
  std::uint32_t value = 0;

  friend auto operator<=>(Symbol, Symbol) = default;
  template <class H>
  friend H AbslHashValue(H state, Symbol symbol) {
    return H::combine(std::move(state), symbol.value);
  }
};

class SymbolTable {
 public:
  SymbolTable() = default;
  // Copies never leave a half-grown index behind on an allocation failure.
  SymbolTable(const SymbolTable& other) : index_(copy_aside(other.index_)), texts_(other.texts_) {}
  SymbolTable& operator=(const SymbolTable& other);
  SymbolTable(SymbolTable&&) noexcept = default;
  SymbolTable& operator=(SymbolTable&&) noexcept = default;

  // The symbol of `text`, interning it on first use.
  Symbol intern(std::string_view text);
  // REQUIRES: `symbol` was interned in this table (or the table it was copied from).
  std::string_view text(Symbol symbol) const;
  std::size_t size() const { return texts_.size(); }

 private:
  absl::flat_hash_map<std::string, Symbol> index_;
  std::vector<std::string> texts_;
};

}  // namespace tarnvel::egraph

#include "egraph/flat_pattern.hpp"

#include "absl/container/flat_hash_map.h"
#include "support/table_growth.hpp"

namespace tarnvel::egraph {
namespace {

struct EntryHash {
  std::size_t operator()(const PatternNode& entry) const {
    if (const auto* var = std::get_if<Var>(&entry)) return absl::Hash<Var>{}(*var);
    return absl::Hash<SymbolNode>{}(std::get<SymbolNode>(entry));
  }
};

}  // namespace

FlatPattern compact(const FlatPattern& expr) {
  FlatPattern result;
  // Sized up front and entered with a key copied outside it, so that no allocation can fail
  // inside the table.
  absl::flat_hash_map<PatternNode, Id, EntryHash> index(room_for(expr.nodes.size()));
  std::vector<Id> renumbered(expr.nodes.size());
  for (std::size_t i = 0; i < expr.nodes.size(); ++i) {
    PatternNode node = expr.nodes[i];
    if (auto* enode = std::get_if<SymbolNode>(&node)) {
      for (Id& child : enode->children) child = renumbered[child];
    }
    PatternNode key = node;
    const auto [entry, inserted] =
        index.try_emplace(std::move(key), static_cast<Id>(result.nodes.size()));
    if (inserted) result.nodes.push_back(std::move(node));
    renumbered[i] = entry->second;
  }
  return result;
}

}  // namespace tarnvel::egraph

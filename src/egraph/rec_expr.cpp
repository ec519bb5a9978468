#include "egraph/rec_expr.hpp"

#include "absl/container/flat_hash_map.h"
#include "support/table_growth.hpp"

namespace tarnvel::egraph {
namespace {

struct EntryHash {
  std::size_t operator()(const ENodeOrVar& entry) const {
    if (const auto* var = std::get_if<Var>(&entry)) return absl::Hash<Var>{}(*var);
    return absl::Hash<ENode>{}(std::get<ENode>(entry));
  }
};

}  // namespace

RecExpr compact(const RecExpr& expr) {
  RecExpr result;
  // Sized up front and entered with a key copied outside it, so that no allocation can fail
  // inside the table.
  absl::flat_hash_map<ENodeOrVar, Id, EntryHash> index(room_for(expr.nodes.size()));
  std::vector<Id> renumbered(expr.nodes.size());
  for (std::size_t i = 0; i < expr.nodes.size(); ++i) {
    ENodeOrVar node = expr.nodes[i];
    if (auto* enode = std::get_if<ENode>(&node)) {
      for (Id& child : enode->children) child = renumbered[child];
    }
    ENodeOrVar key = node;
    const auto [entry, inserted] =
        index.try_emplace(std::move(key), static_cast<Id>(result.nodes.size()));
    if (inserted) result.nodes.push_back(std::move(node));
    renumbered[i] = entry->second;
  }
  return result;
}

}  // namespace tarnvel::egraph

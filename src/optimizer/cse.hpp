// Common-subexpression elimination over a canonical engine graph: merges nodes with the same `op`
// and the same (remapped) children, whatever engine produced the graph. Children are remapped
// before the lookup, so merges cascade through consumers in the one pass. The lowest-index node of
// each set of equal nodes survives and survivors keep their relative order.
#pragma once

#include <cstddef>
#include <vector>

#include "optimizer/engine.hpp"

namespace tarnvel {

struct CseResult {
  EngineGraph graph;                    // deduplicated; outputs mapped, duplicates kept
  std::vector<std::size_t> index_map;   // input index -> index of the node standing for it
};

// REQUIRES: every child index is below its node's index and every output below the node count
// (checked: a violation is an InternalFault).
CseResult cse(const EngineGraph& graph);
// The same, reusing the graph's storage: survivors are moved rather than copied.
CseResult cse(EngineGraph&& graph);

}  // namespace tarnvel

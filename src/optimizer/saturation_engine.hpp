// SaturationEngine: the RewriteEngine that proves equalities by equality saturation over twelve
// fixed sound rules (commutativity of eight binary operators, and adding 0.0 or multiplying by 1.0
// with the scalar on either side) and merges every class into its lowest-index input node.
//
// Immutable after construction; `canonicalize` builds all of its state privately (its own e-graph,
// symbol table, runner and scheduler), so several threads may call it on one engine at once.
#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <span>
#include <vector>

#include "egraph/rewrite.hpp"
#include "egraph/runner.hpp"
#include "egraph/symbol_table.hpp"
#include "optimizer/engine.hpp"

namespace tarnvel {

// How one saturation run went, for benchmarks and tests that look inside canonicalize.
struct SaturationRun {
  std::size_t iterations = 0;
  std::optional<egraph::StopReason> stop_reason;
  std::chrono::nanoseconds time{0};  // on the runner's clock: the calling thread's CPU time
};

class SaturationEngine final : public RewriteEngine {
 public:
  static constexpr std::size_t kIterationLimit = 12;

  // Builds the rules; a rule that cannot be built is an InternalFault.
  SaturationEngine();

  // REQUIRES: every child index names an earlier node and every output names a node; otherwise
  // InternalFault. Hitting a runner limit is not an error: the merges made so far are used.
  CanonicalGraph canonicalize(const EngineGraph& graph) const override;
  // The same, telling how the saturation run went.
  CanonicalGraph canonicalize(const EngineGraph& graph, SaturationRun& run) const;

  std::span<const egraph::Rewrite> rules() const { return rules_; }
  std::size_t iteration_limit() const { return iteration_limit_; }

 private:
  egraph::SymbolTable symbols_;  // the rules' symbols; each run's e-graph starts from a copy
  std::vector<egraph::Rewrite> rules_;
  std::size_t iteration_limit_ = kIterationLimit;
};

}  // namespace tarnvel

// SaturationEngine: the RewriteEngine that proves equalities by equality saturation over twelve
// fixed sound rules (commutativity of eight binary operators, and adding 0.0 or multiplying by 1.0
// with the scalar on either side) and merges every class into its lowest-index input node.
//
// The rules are compiled once per process into an immutable RuleSet that every engine shares, so an
// engine costs nothing to make. `canonicalize` builds all of its other state privately (its own
// e-graph, runner and scheduler), so several threads may call it on one engine, or on several, at
// once.
#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <span>
#include <vector>

#include "egraph/rewrite.hpp"
#include "egraph/rule_set.hpp"
#include "egraph/runner.hpp"
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

  // Shares the fixed rules; the first engine of the process compiles them, and a rule that cannot
  // be built is an InternalFault.
  SaturationEngine();

  // REQUIRES: every child index names an earlier node and every output names a node; otherwise
  // InternalFault. Hitting a runner limit is not an error: the merges made so far are used.
  CanonicalGraph canonicalize(const EngineGraph& graph) const override;
  // The same, telling how the saturation run went.
  CanonicalGraph canonicalize(const EngineGraph& graph, SaturationRun& run) const;

  std::span<const egraph::Rewrite> rules() const { return rules_->rules(); }
  std::size_t iteration_limit() const { return iteration_limit_; }

 private:
  // The fixed rules; their symbols are the fixed operators' ids.
  const egraph::RuleSet* rules_;
  std::size_t iteration_limit_ = kIterationLimit;
};

}  // namespace tarnvel

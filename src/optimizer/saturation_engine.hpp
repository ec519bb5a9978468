// SaturationEngine: the RewriteEngine that proves equalities by equality saturation over twelve
// fixed sound rules (commutativity of eight binary operators, and adding 0.0 or multiplying by 1.0
// with the scalar on either side) and merges every class into its lowest-index input node. A small
// graph, whose saturation provably ends as a one-pass fold does, is folded (see kFoldLimit).
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
#include "egraph/scheduler.hpp"
#include "optimizer/engine.hpp"

namespace tarnvel {

// How one saturation run went, for benchmarks and tests that look inside canonicalize.
struct SaturationRun {
  std::size_t iterations = 0;
  std::optional<egraph::StopReason> stop_reason;
  std::chrono::nanoseconds time{0};  // on the runner's clock: the calling thread's CPU time
  // The graph was folded rather than run (see kFoldLimit): it is saturated, with no iteration.
  bool folded = false;
};

class SaturationEngine final : public RewriteEngine {
 public:
  static constexpr std::size_t kIterationLimit = 12;
  // A graph of at most this many nodes is folded (CanonicalFold) instead of loaded into an
  // e-graph, which gives the same classes at a fraction of the cost. Its saturation would never
  // ban a rule: a rule matches at most once per e-node of its operator, and the e-graph holds at
  // most two e-nodes per node (the node and its operand-swapped twin), so at most twice this many,
  // which is the scheduler's first match limit. Unbanned, the rules saturate in two iterations
  // (the first adds every twin and merges every identity node into its operand; the second finds
  // nothing new), far inside every runner limit, and the fixpoint's classes are the fold's.
  static constexpr std::size_t kFoldLimit = egraph::BackoffScheduler::kDefaultMatchLimit / 2;

  // Shares the fixed rules; the first engine of the process compiles them, and a rule that cannot
  // be built is an InternalFault. `fold_limit` other than kFoldLimit is for tests that compare the
  // fold with the e-graph.
  explicit SaturationEngine(std::size_t fold_limit = kFoldLimit);

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
  std::size_t fold_limit_;
};

}  // namespace tarnvel

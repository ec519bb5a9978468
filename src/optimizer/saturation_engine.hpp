// SaturationEngine: the RewriteEngine that proves equalities by equality saturation over twelve
// fixed sound rules (commutativity of eight binary operators, and adding 0.0 or multiplying by 1.0
// with the scalar on either side) and merges every class into its lowest-index input node. A graph
// whose saturation provably ends as a one-pass fold does is folded instead (see can_fold).
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
  // The graph was folded rather than run (see can_fold): it is saturated, with no iteration.
  bool folded = false;
};

class SaturationEngine final : public RewriteEngine {
 public:
  static constexpr std::size_t kIterationLimit = 12;
  // Whether a graph may be folded (CanonicalFold) instead of loaded into an e-graph.
  enum class Folding {
    // When its saturation provably ends at the fold's classes (see can_fold); the default.
    WhenProvable,
    // Never: for tests that compare the fold with the e-graph.
    Never,
  };

  // Shares the fixed rules; the first engine of the process compiles them, and a rule that cannot
  // be built is an InternalFault.
  explicit SaturationEngine(Folding folding = Folding::WhenProvable);

  // Whether saturating `graph` provably ends at the classes a fold reaches, so that the fold can
  // stand in for it at a fraction of the cost. It does when no rule can ever be banned: a rule
  // matches at most once per e-node of its operator and arity, and the e-graph holds at most two
  // such e-nodes per node of a commutative operator (the node and its operand-swapped twin) and
  // one per node of an identity operator. When those bounds stay within the scheduler's first
  // match limit, every rule applies to every match, and saturation ends after two iterations (the
  // first adds every twin and merges every identity node into its operand; the second finds
  // nothing new), far inside every runner limit. The fixpoint's classes are the fold's: two
  // nodes are equal exactly when their forms with identity operators dropped and commutative
  // operands unordered are.
  static bool can_fold(const EngineGraph& graph);
  // The largest graph folded: up to here the repairs of a saturation are far inside its time
  // limit however its merges cascade, so the time limit can never end it early either.
  static constexpr std::size_t kMaxFoldedNodes = std::size_t{1} << 20;
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
  Folding folding_;
};

}  // namespace tarnvel

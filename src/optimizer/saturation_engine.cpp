#include "optimizer/saturation_engine.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <string_view>
#include <utility>

#include "egraph/egraph.hpp"
#include "egraph/runner.hpp"
#include "ir/fixed_operators.hpp"
#include "optimizer/canonical_fold.hpp"
#include "optimizer/op_id_map.hpp"
#include "support/fault.hpp"
#include "support/interruption.hpp"
#include "support/lookahead.hpp"

namespace tarnvel {
namespace {

using egraph::EGraph;
using egraph::Id;
using egraph::SymbolNode;

void add_rule(std::vector<egraph::Rewrite>& rules, std::string name, const std::string& searcher,
              const std::string& applier, egraph::SymbolTable& symbols) {
  auto rule = egraph::Rewrite::parse(std::move(name), searcher, applier, symbols);
  if (!rule) fail_invariant("the rule set could not be built: " + rule.error());
  rules.push_back(std::move(*rule));
}

egraph::RuleSet compile_fixed_rules() {
  // The fixed operators are interned first, in id order, so that each one's symbol is its id in
  // every operator table; their tokens only name them while the rules are parsed.
  egraph::SymbolTable symbols;
  const std::vector<NodeKey> fixed = fixed_operators();
  std::vector<std::string> tokens;
  for (OpId op = 0; op < fixed.size(); ++op) {
    tokens.push_back(fixed[op].token());
    check_invariant(symbols.intern(tokens.back()).value == op,
                    "the rules' operators are interned at their fixed ids");
  }
  std::vector<egraph::Rewrite> rules;
  for (OpId op = kFirstCommutativeOp; op < kFirstIdentityOp; ++op) {
    const std::string& token = tokens[op];
    add_rule(rules, "commute-" + std::string(fixed[op].name()), "(" + token + " ?a ?b)",
             "(" + token + " ?b ?a)", symbols);
  }
  for (OpId op = kFirstIdentityOp; op < kFixedOperatorCount; ++op) {
    add_rule(rules, "identity-" + std::to_string(op - kFirstIdentityOp), "(" + tokens[op] + " ?x)",
             "?x", symbols);
  }
  return egraph::RuleSet(std::move(rules));
}

// Compiled on first use; C++ makes the first use wait for it on every other thread, and after it
// the set is only read, so concurrent reductions share it without a lock.
const egraph::RuleSet& fixed_rules() {
  static const egraph::RuleSet rules = compile_fixed_rules();
  return rules;
}

// The e-graph's symbols: the fixed operators keep their ids (the rules' symbols), and the graph's
// other operators are numbered from there in order of first use. The e-graph keeps arrays indexed
// by symbol, which would otherwise grow with the whole operator table the graph's ids come from
// rather than with the graph.
class SymbolNumbering {
 public:
  // Every id numbered is below `table_size`; the graph has `graph_size` nodes.
  SymbolNumbering(std::size_t table_size, std::size_t graph_size)
      : numbers_(table_size, graph_size) {}

  egraph::Symbol of(OpId op) {
    if (op < kFixedOperatorCount) return egraph::Symbol{op};
    if (const std::uint32_t* known = numbers_.find(op)) return egraph::Symbol{*known};
    return egraph::Symbol{numbers_.emplace(op, kFixedOperatorCount + next_++)};
  }

 private:
  OpIdMap<std::uint32_t> numbers_;
  std::uint32_t next_ = 0;
};

// How many nodes ahead the loader starts loading the hash-cons slot a node will probe.
constexpr std::size_t kLoadLookahead = 8;

void check_children(const EngineGraph& graph) {
  for (std::size_t i = 0; i < graph.nodes.size(); ++i) {
    for (std::uint32_t child : graph.nodes[i].children) {
      check_index(child, i, "child of an engine node");
    }
  }
}

// Loads the nodes in order; returns the root recorded for each input node.
std::vector<Id> load(const EngineGraph& graph, EGraph& egraph) {
  check_children(graph);
  const std::size_t n = graph.nodes.size();
  // The rules add at most one e-node, the operand-swapped form, per two-operand node of a
  // commutative operator (the identity rules only merge).
  std::size_t swappable = 0;
  OpId largest = 0;
  for (const Node& node : graph.nodes) largest = std::max(largest, node.op);
  std::vector<egraph::Symbol> symbols;
  symbols.reserve(n);
  SymbolNumbering numbering(std::size_t{largest} + 1, n);
  for (const Node& node : graph.nodes) {
    note_work();
    swappable += is_commutative_op(node.op) && node.children.size() == 2 ? 1 : 0;
    symbols.push_back(numbering.of(node.op));
  }
  egraph.reserve(n + swappable);

  std::vector<Id> ids;
  ids.reserve(n);
  // Node j's e-node as it will be added, guessing that the nodes from ids.size() on are all new
  // (a wrong guess only wastes the prefetch).
  const auto expected_enode = [&](std::size_t j) {
    SymbolNode enode{symbols[j], {}};
    for (std::uint32_t child : graph.nodes[j].children) {
      enode.children.push_back(child < ids.size()
                                   ? ids[child]
                                   : static_cast<Id>(egraph.id_count() + (child - ids.size())));
    }
    return enode;
  };
  const auto load_expected = [&](const SymbolNode& expected) {
    egraph.prefetch_node(expected);
    for (Id child : expected.children) egraph.prefetch_class(child);  // adding appends to its uses
  };
  for_each_with_lookahead<kLoadLookahead>(
      n, expected_enode, load_expected, [&](std::size_t i, const SymbolNode& /*expected*/) {
        // The node as added names the ids given since the guess; the guess served the prefetch.
        note_work(1 + graph.nodes[i].children.size());
        SymbolNode enode{symbols[i], {}};
        for (std::uint32_t child : graph.nodes[i].children) enode.children.push_back(ids[child]);
        ids.push_back(egraph.find(egraph.add(std::move(enode))));
      });
  return ids;
}

// Steps 5 to 9 of the read-out: every class is written once, as its lowest-index input node with
// that node's own operator and operand order. Children and outputs are looked up by class root.
// `roots` holds the class root of every e-graph id.
CanonicalGraph read_out(const EngineGraph& graph, const std::vector<Id>& roots,
                        const std::vector<Id>& ids) {
  // By class root. Fewer nodes are written than the e-graph has ids, so an Id holds any index.
  constexpr Id kNoIndex = std::numeric_limits<Id>::max();
  std::vector<Id> output_index(roots.size(), kNoIndex);
  const auto index_of = [&](std::size_t node) {
    const Id index = output_index[roots[ids[node]]];
    check_invariant(index != kNoIndex, "missing map entry");
    return std::size_t{index};
  };

  // The e-graph is rebuilt, so congruence holds: two classes never hold equal e-nodes. Two
  // representatives with the same op and the same child classes would be equal e-nodes, so no
  // two written nodes share op and children.
  CanonicalGraph result;
  result.duplicate_free = true;
  result.graph.nodes.reserve(graph.nodes.size());
  result.node_map.reserve(graph.nodes.size());
  for (std::size_t i = 0; i < graph.nodes.size(); ++i) {
    note_work();
    const Id root = roots[ids[i]];
    if (output_index[root] == kNoIndex) {
      Node& written = result.graph.nodes.emplace_back(graph.nodes[i]);
      for (std::uint32_t& child : written.children) {
        child = static_cast<std::uint32_t>(index_of(child));
      }
      output_index[root] = static_cast<Id>(result.graph.nodes.size() - 1);
    }
    result.node_map.push_back(output_index[root]);
  }
  result.graph.outputs.reserve(graph.outputs.size());
  for (std::size_t output : graph.outputs) {
    check_invariant(output < graph.nodes.size(), "missing map entry");
    result.graph.outputs.push_back(index_of(output));
  }
  return result;
}

// The graph folded in one forward pass (see SaturationEngine::can_fold), read out as the e-graph
// is: each class as its first node, which is its lowest-index one.
CanonicalGraph fold(const EngineGraph& graph) {
  check_children(graph);
  CanonicalFold folded;
  CanonicalGraph result;
  result.duplicate_free = true;
  result.node_map.reserve(graph.nodes.size());
  absl::InlinedVector<std::uint32_t, 4> inputs;
  for (const Node& node : graph.nodes) {
    note_work();
    inputs.clear();
    for (std::uint32_t child : node.children) {
      inputs.push_back(static_cast<std::uint32_t>(result.node_map[child]));
    }
    result.node_map.push_back(folded.add(node.op, inputs));
  }
  result.graph.nodes.reserve(folded.size());
  for (std::size_t i = 0; i < folded.size(); ++i) result.graph.nodes.push_back(folded[i]);
  result.graph.outputs.reserve(graph.outputs.size());
  for (std::size_t output : graph.outputs) {
    check_invariant(output < graph.nodes.size(), "missing map entry");
    result.graph.outputs.push_back(result.node_map[output]);
  }
  return result;
}

}  // namespace

SaturationEngine::SaturationEngine(Folding folding) : rules_(&fixed_rules()), folding_(folding) {}

bool SaturationEngine::can_fold(const EngineGraph& graph) {
  if (graph.nodes.size() > kMaxFoldedNodes) return false;
  // The most matches each rule's operator allows: two per commutative node, one per identity node.
  std::array<std::size_t, kFixedOperatorCount> matches{};
  for (const Node& node : graph.nodes) {
    if (is_commutative_op(node.op) && node.children.size() == 2) matches[node.op] += 2;
    if (is_identity_op(node.op) && node.children.size() == 1) matches[node.op] += 1;
  }
  return std::ranges::all_of(matches, [](std::size_t most) {
    return most <= egraph::BackoffScheduler::kDefaultMatchLimit;
  });
}

CanonicalGraph SaturationEngine::canonicalize(const EngineGraph& graph) const {
  SaturationRun run;
  return canonicalize(graph, run);
}

CanonicalGraph SaturationEngine::canonicalize(const EngineGraph& graph, SaturationRun& run) const {
  if (folding_ == Folding::WhenProvable && can_fold(graph)) {
    run = {.iterations = 0, .stop_reason = egraph::Saturated{}, .folded = true};
    return fold(graph);
  }
  // The e-graph's symbols are numbered by `load`, the fixed operators at their ids as the rules
  // name them; no text is interned.
  EGraph loaded;
  const std::vector<Id> ids = load(graph, loaded);

  std::vector<Id> roots;
  {
    egraph::Runner runner;
    runner.with_egraph(std::move(loaded))
        .with_iteration_limit(iteration_limit_)
        .with_node_limit(4 * graph.nodes.size() + 1024)
        .run(*rules_);
    run = {runner.iterations().size(), runner.stop_reason(), runner.run_time()};
    // However the run stopped, the e-graph as it stands is read out: its classes are all the
    // read-out needs, so the e-graph goes before the canonical graph is allocated.
    roots = runner.egraph().roots();
  }
  return read_out(graph, roots, ids);
}

}  // namespace tarnvel

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
#include "optimizer/rules.hpp"
#include "support/fault.hpp"
#include "support/interruption.hpp"

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

// How many nodes ahead the loader starts loading the hash-cons slot a node will probe.
constexpr std::size_t kLoadLookahead = 8;

void check_children(const EngineGraph& graph) {
  for (std::size_t i = 0; i < graph.nodes.size(); ++i) {
    for (std::size_t child : graph.nodes[i].children) {
      check_index(child, i, "child of an engine node");
    }
  }
}

// Interns operator texts through a small direct-mapped cache keyed by a text's length and edge
// bytes: a graph has few distinct operators, so most lookups end with one comparison instead of a
// hash of the whole text. The cached views point into the graph being loaded.
class RecentSymbols {
 public:
  explicit RecentSymbols(egraph::SymbolTable& table) : table_(table) {}

  egraph::Symbol intern(std::string_view text) {
    Entry& entry = entries_[slot_of(text)];
    if (entry.text.data() == nullptr || entry.text != text) {
      entry.symbol = table_.intern(text);
      entry.text = text;
    }
    return entry.symbol;
  }

 private:
  struct Entry {
    std::string_view text;
    egraph::Symbol symbol;
  };
  static std::size_t slot_of(std::string_view text) {
    std::uint64_t head = 0;
    std::uint64_t tail = 0;
    const std::size_t edge = std::min<std::size_t>(text.size(), 8);
    std::memcpy(&head, text.data(), edge);
    std::memcpy(&tail, text.data() + text.size() - edge, edge);
    const std::uint64_t h =
        (head * 0x9E3779B97F4A7C15u) ^ (tail * 0xBF58476D1CE4E5B9u) ^ text.size();
    return static_cast<std::size_t>((h ^ (h >> 32)) % kSlots);
  }

  static constexpr std::size_t kSlots = 64;
  egraph::SymbolTable& table_;
  std::array<Entry, kSlots> entries_{};
};

// Loads the nodes in order; returns the root recorded for each input node.
std::vector<Id> load(const EngineGraph& graph, EGraph& egraph) {
  check_children(graph);
  const std::size_t n = graph.nodes.size();
  // The rules add at most one e-node, the operand-swapped form, per two-operand node.
  std::size_t binary = 0;
  std::vector<egraph::Symbol> symbols;
  symbols.reserve(n);
  RecentSymbols recent(egraph.symbols());
  for (const EngineNode& node : graph.nodes) {
    note_work();
    binary += node.children.size() == 2 ? 1 : 0;
    symbols.push_back(recent.intern(node.op));
  }
  egraph.reserve(n + binary);

  std::vector<Id> ids;
  ids.reserve(n);
  // Node j's e-node as it will be added, guessing that the nodes from ids.size() on are all new
  // (a wrong guess only wastes the prefetch).
  const auto expected_enode = [&](std::size_t j) {
    SymbolNode enode{symbols[j], {}};
    for (std::size_t child : graph.nodes[j].children) {
      enode.children.push_back(child < ids.size()
                                   ? ids[child]
                                   : static_cast<Id>(egraph.id_count() + (child - ids.size())));
    }
    return enode;
  };
  for (std::size_t i = 0; i < n; ++i) {
    if (i + kLoadLookahead < n) {
      const SymbolNode ahead = expected_enode(i + kLoadLookahead);
      egraph.prefetch_node(ahead);
      for (Id child : ahead.children) egraph.prefetch_class(child);  // adding appends to its uses
    }
    note_work(1 + graph.nodes[i].children.size());
    SymbolNode enode{symbols[i], {}};
    for (std::size_t child : graph.nodes[i].children) enode.children.push_back(ids[child]);
    ids.push_back(egraph.find(egraph.add(std::move(enode))));
  }
  return ids;
}

// Steps 5 to 9 of the read-out: every class is written once, as its lowest-index input node with
// that node's own token and operand order. Children and outputs are looked up by class root.
CanonicalGraph read_out(const EngineGraph& graph, const EGraph& egraph,
                        const std::vector<Id>& ids) {
  const std::vector<Id> roots = egraph.roots();
  // By class root. Fewer nodes are written than the e-graph has ids, so an Id holds any index.
  constexpr Id kNoIndex = std::numeric_limits<Id>::max();
  std::vector<Id> output_index(egraph.id_count(), kNoIndex);
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
      const EngineNode& node = graph.nodes[i];
      EngineNode& written = result.graph.nodes.emplace_back();
      written.op = node.op;
      for (std::size_t child : node.children) written.children.push_back(index_of(child));
      written.opaque = !node.op.view().starts_with("op|");
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

}  // namespace

SaturationEngine::SaturationEngine() {
  for (std::string_view op : kCommutativeNames) {
    const std::string token = "op|" + std::string(op);
    add_rule(rules_, "commute-" + std::string(op), "(" + token + " ?a ?b)", "(" + token + " ?b ?a)",
             symbols_);
  }
  for (std::size_t k = 0; k < kIdentityTokens.size(); ++k) {
    const std::string token(kIdentityTokens[k]);
    add_rule(rules_, "identity-" + std::to_string(k), "(" + token + " ?x)", "?x", symbols_);
  }
}

CanonicalGraph SaturationEngine::canonicalize(const EngineGraph& graph) const {
  EGraph loaded(symbols_);
  const std::vector<Id> ids = load(graph, loaded);

  egraph::Runner runner;
  runner.with_egraph(std::move(loaded))
      .with_iteration_limit(iteration_limit_)
      .with_node_limit(4 * graph.nodes.size() + 1024)
      .run(rules_);
  // However the run stopped, the e-graph as it stands is read out.
  return read_out(graph, runner.egraph(), ids);
}

}  // namespace tarnvel

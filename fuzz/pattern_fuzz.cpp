// Fuzzes the pattern parser and the matching machine behind it. Any text must either fail to parse
// with a message or give a pattern that
// - is well formed (children name earlier entries, variables are "?" texts of two or more bytes),
// - prints back to a text that parses to the same compacted pattern,
// - finds, in an e-graph built from its own instances, exactly the matches a naive recursive
//   matcher finds (compared as sets: the machine's order and multiplicity are its own), each of
//   them real, and the instance known to match among them,
// - changes nothing when applied as its own right-hand side, leaving every e-graph invariant
// intact.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "egraph/egraph.hpp"
#include "egraph/pattern.hpp"
#include "quote_atom.hpp"

namespace {

using namespace tarnvel::egraph;

void require(bool condition, const char* what) {
  if (condition) return;
  std::fprintf(stderr, "pattern_fuzz: %s\n", what);
  std::abort();
}

constexpr std::size_t kMaxInput = 1024;
constexpr std::size_t kNaiveBudget = 20000;  // partial substitutions before completeness is skipped

using tarnvel::fuzzing::quote_atom;

// The term below `entry` as S-expression text; every atom quoted, so any symbol text survives.
std::string print(const FlatPattern& expr, std::size_t entry, const SymbolTable& symbols) {
  if (const auto* var = std::get_if<Var>(&expr.nodes[entry]))
    return quote_atom(symbols.text(var->symbol));
  const SymbolNode& node = std::get<SymbolNode>(expr.nodes[entry]);
  if (node.children.empty()) return quote_atom(symbols.text(node.op));
  std::string out = "(" + quote_atom(symbols.text(node.op));
  for (Id child : node.children) out += " " + print(expr, child, symbols);
  return out + ")";
}

using Binding = std::map<std::uint32_t, Id>;  // variable symbol -> root class

// Every way `entry` embeds in class `eclass` extending `binding`, appended to `out`. Returns false
// once the budget is spent.
bool naive(const EGraph& egraph, const FlatPattern& expr, std::size_t entry, Id eclass,
           const Binding& binding, std::vector<Binding>& out, std::size_t& budget) {
  if (budget == 0) return false;
  --budget;
  eclass = egraph.find(eclass);
  if (const auto* var = std::get_if<Var>(&expr.nodes[entry])) {
    const auto bound = binding.find(var->symbol.value);
    if (bound == binding.end()) {
      Binding extended = binding;
      extended.emplace(var->symbol.value, eclass);
      out.push_back(std::move(extended));
    } else if (bound->second == eclass) {
      out.push_back(binding);
    }
    return true;
  }
  const SymbolNode& pattern = std::get<SymbolNode>(expr.nodes[entry]);
  for (const SymbolNode& node : egraph[eclass].nodes) {
    if (!node.matches(pattern)) continue;
    std::vector<Binding> states{binding};
    for (std::size_t k = 0; k < pattern.children.size() && !states.empty(); ++k) {
      std::vector<Binding> next;
      for (const Binding& state : states) {
        if (!naive(egraph, expr, pattern.children[k], node.children[k], state, next, budget))
          return false;
      }
      states = std::move(next);
    }
    out.insert(out.end(), states.begin(), states.end());
  }
  return true;
}

// True when the term `entry` under `binding` is represented in class `eclass`.
bool represented(const EGraph& egraph, const FlatPattern& expr, std::size_t entry, Id eclass,
                 const Binding& binding) {
  eclass = egraph.find(eclass);
  if (const auto* var = std::get_if<Var>(&expr.nodes[entry])) {
    const auto bound = binding.find(var->symbol.value);
    return bound != binding.end() && egraph.find(bound->second) == eclass;
  }
  const SymbolNode& pattern = std::get<SymbolNode>(expr.nodes[entry]);
  for (const SymbolNode& node : egraph[eclass].nodes) {
    if (!node.matches(pattern)) continue;
    bool all = true;
    for (std::size_t k = 0; k < pattern.children.size() && all; ++k) {
      all = represented(egraph, expr, pattern.children[k], node.children[k], binding);
    }
    if (all) return true;
  }
  return false;
}

// Adds the pattern's term with variable i bound to leaves[(i + shift) % leaves.size()]; returns its
// class.
Id instantiate(EGraph& egraph, const FlatPattern& expr, const std::vector<Id>& leaves,
               std::size_t shift) {
  std::vector<Id> ids;
  std::map<std::uint32_t, std::size_t> var_index;
  for (const PatternNode& entry : expr.nodes) {
    if (const auto* var = std::get_if<Var>(&entry)) {
      const std::size_t index =
          var_index.emplace(var->symbol.value, var_index.size()).first->second;
      ids.push_back(leaves[(index + shift) % leaves.size()]);
      continue;
    }
    SymbolNode node = std::get<SymbolNode>(entry);
    for (Id& child : node.children) child = ids[child];
    ids.push_back(egraph.add(std::move(node)));
  }
  return ids.back();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > kMaxInput) return 0;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  SymbolTable symbols, other_symbols;
  auto expr = parse_flat_pattern(text, symbols);
  auto pattern = Pattern::parse(text, other_symbols);
  require(expr.has_value() == pattern.has_value(), "Pattern::parse agrees with parse_flat_pattern");
  if (!expr) {
    require(!to_string(expr.error()).empty(), "every parse error has a message");
    require(expr.error() == pattern.error(), "both parsers report the same error");
    return 0;
  }

  require(!expr->nodes.empty(), "a parsed pattern is not empty");
  for (std::size_t i = 0; i < expr->nodes.size(); ++i) {
    if (const auto* var = std::get_if<Var>(&expr->nodes[i])) {
      const std::string_view name = symbols.text(var->symbol);
      require(name.size() >= 2 && name.front() == '?',
              "variables are ?-texts of two or more bytes");
    } else {
      for (Id child : std::get<SymbolNode>(expr->nodes[i]).children)
        require(child < i, "children come first");
    }
  }
  const Pattern compiled(*expr);
  const FlatPattern& ast = compiled.ast();
  require(ast == pattern->ast(), "the same text gives the same compacted pattern");
  require(compact(ast) == ast, "compaction is idempotent");
  const std::string printed = print(ast, ast.root(), symbols);
  require(printed == print(*expr, expr->root(), symbols), "compaction keeps the term");
  auto reread = parse_flat_pattern(printed, symbols);
  require(reread.has_value() && compact(*reread) == ast, "the printed pattern parses back");

  // An e-graph holding three leaves and the pattern instantiated over them in three ways; the
  // first instance is merged with a leaf so that classes hold several nodes (and cycles).
  EGraph egraph(symbols);
  std::vector<Id> leaves;
  for (const char* leaf : {"leaf 0", "leaf 1", "leaf 2"})
    leaves.push_back(egraph.add(SymbolNode{egraph.symbols().intern(leaf), {}}));
  std::vector<Id> instances;
  for (std::size_t shift = 0; shift < 3; ++shift)
    instances.push_back(instantiate(egraph, ast, leaves, shift));
  egraph.union_(instances[1], leaves[2]);
  egraph.rebuild();
  egraph.verify();

  const std::size_t limit = 1 << 16;
  const MatchList matches = compiled.search(egraph, limit);
  std::set<std::pair<Id, Binding>> found;
  std::size_t total = 0;
  for (std::size_t r = 0; r < matches.size(); ++r) {
    const std::span<const Id> row = matches.row(r);
    const Id eclass = row[0];
    require(egraph.is_root(eclass), "matches are reported on roots");
    Binding binding;
    for (std::size_t v = 0; v < matches.vars().size(); ++v) {
      binding[matches.vars()[v].symbol.value] = egraph.find(row[1 + v]);
    }
    require(binding.size() == compiled.vars().size(), "a match binds every variable once");
    require(represented(egraph, ast, ast.root(), eclass, binding), "every match is real");
    found.emplace(eclass, std::move(binding));
    ++total;
  }
  if (total < limit) {
    require(
        std::any_of(found.begin(), found.end(),
                    [&](const auto& entry) { return entry.first == egraph.find(instances[0]); }),
        "the pattern matches its own instance");
    std::set<std::pair<Id, Binding>> expected;
    std::size_t budget = kNaiveBudget;
    bool complete = true;
    for (Id id = 0; id < egraph.id_count() && complete; ++id) {
      if (!egraph.is_root(id)) continue;
      std::vector<Binding> out;
      complete = naive(egraph, ast, ast.root(), id, {}, out, budget);
      for (Binding& binding : out) expected.emplace(id, std::move(binding));
    }
    if (complete) require(found == expected, "the machine finds what a naive matcher finds");
  }

  // Applied as its own right-hand side the pattern adds nothing new: each instance is already in
  // the class it matched.
  require(compiled.apply_matches(egraph, matches).empty(), "re-applying a match changes nothing");
  egraph.rebuild();
  egraph.verify();
  return 0;
}

#include "egraph/pattern.hpp"

#include <algorithm>

#include "support/fault.hpp"
#include "support/interruption.hpp"
#include "support/lookahead.hpp"

namespace tarnvel::egraph {
namespace {

// How far ahead search and application start loading the memory they will need.
constexpr std::size_t kPrefetchDistance = 8;
// Classes up to this size are scanned for an instance before the memo is probed.
constexpr std::size_t kShortClass = 8;

bool is_var_text(std::string_view text) { return text.size() >= 2 && text.front() == '?'; }

// Converts the tokens of one S-expression, children first. Each open list keeps its operator atom
// and the entries of its converted operands until its ")" appends the list's own entry.
class Converter {
 public:
  Converter(const Sexp& sexp, SymbolTable& symbols) : sexp_(sexp), symbols_(symbols) {}

  std::expected<FlatPattern, PatternParseError> convert() {
    if (sexp_.empty()) return std::unexpected(EmptyExpression{});
    for (std::size_t i = 0; i < sexp_.size(); ++i) {
      const SexpToken& token = sexp_[i];
      std::optional<PatternParseError> error;
      switch (token.kind) {
        case SexpToken::Kind::Open:
          error = open_list(i);
          ++i;  // the operator atom, consumed by open_list
          break;
        case SexpToken::Kind::Close: error = close_list(); break;
        case SexpToken::Kind::Atom: error = finish(token.atom, {}); break;
      }
      if (error) return std::unexpected(std::move(*error));
    }
    return std::move(expr_);
  }

 private:
  struct OpenList {
    std::string op;
    SymbolNode::Children operands;
  };

  std::optional<PatternParseError> open_list(std::size_t open) {
    // Balanced tokens: an open list is followed by at least its ")".
    const SexpToken& head = sexp_[open + 1];
    if (head.kind == SexpToken::Kind::Close) return EmptyExpression{};
    if (head.kind == SexpToken::Kind::Open) return ListAsOperator{};
    lists_.push_back({head.atom, {}});
    return std::nullopt;
  }

  std::optional<PatternParseError> close_list() {
    OpenList list = std::move(lists_.back());
    lists_.pop_back();
    return finish(list.op, std::move(list.operands));
  }

  // Appends the entry for operator `op` over `operands` and hands it to the enclosing list.
  std::optional<PatternParseError> finish(const std::string& op, SymbolNode::Children operands) {
    if (is_var_text(op)) {
      if (!operands.empty()) return VariableWithOperands{op};
      expr_.nodes.emplace_back(Var{symbols_.intern(op)});
    } else {
      expr_.nodes.emplace_back(SymbolNode{symbols_.intern(op), std::move(operands)});
    }
    if (!lists_.empty()) lists_.back().operands.push_back(static_cast<Id>(expr_.nodes.size() - 1));
    return std::nullopt;
  }

  const Sexp& sexp_;
  SymbolTable& symbols_;
  std::vector<OpenList> lists_;
  FlatPattern expr_;
};

}  // namespace

std::string to_string(const PatternParseError& error) {
  struct Visitor {
    std::string operator()(const EmptyExpression&) const {
      return "the pattern or one of its lists is empty";
    }
    std::string operator()(const ListAsOperator&) const {
      return "a list stands where an operator belongs";
    }
    std::string operator()(const VariableWithOperands& error) const {
      return "variable " + error.text + " is given operands";
    }
    std::string operator()(const MalformedText& error) const {
      return "the pattern text is malformed: " + to_string(error.error);
    }
  };
  return std::visit(Visitor{}, error);
}

std::expected<FlatPattern, PatternParseError> parse_flat_pattern(std::string_view text,
                                                                 SymbolTable& symbols) {
  auto sexp = read_sexp(text);
  if (!sexp) return std::unexpected(MalformedText{std::move(sexp.error())});
  return Converter(*sexp, symbols).convert();
}

Pattern::Pattern(const FlatPattern& expr) : ast_(compact(expr)), program_(Program::compile(ast_)) {
  // A repeated variable would add a Compare, a nested or ground operand another instruction.
  if (program_.instructions.size() == 1) {
    if (const auto* bind = std::get_if<Bind>(&program_.instructions[0])) flat_root_ = *bind;
  }
  for (std::size_t i = 0; i < ast_.nodes.size(); ++i) {
    const auto* node = std::get_if<SymbolNode>(&ast_.nodes[i]);
    if (node == nullptr) continue;
    const bool over_vars = std::all_of(node->children.begin(), node->children.end(), [&](Id child) {
      return std::holds_alternative<Var>(ast_.nodes[child]);
    });
    if (over_vars) first_leaf_ = i;
    break;
  }
}

std::expected<Pattern, PatternParseError> Pattern::parse(std::string_view text,
                                                         SymbolTable& symbols) {
  auto expr = parse_flat_pattern(text, symbols);
  if (!expr) return std::unexpected(std::move(expr.error()));
  return Pattern(*expr);
}

std::vector<Var> Pattern::vars() const {
  std::vector<Var> vars;
  for (const PatternNode& node : ast_.nodes) {
    const auto* var = std::get_if<Var>(&node);
    if (var == nullptr || std::find(vars.begin(), vars.end(), *var) != vars.end()) continue;
    vars.push_back(*var);
  }
  return vars;
}

MatchList Pattern::search(const EGraph& egraph, std::size_t limit, MatchList buffer) const {
  check_invariant(egraph.is_clean(), "search needs a rebuilt e-graph");
  MatchList matches = std::move(buffer);
  matches.reset(program_.vars);
  Machine machine;
  std::size_t remaining = limit;
  // Returns false once the limit is used up.
  const auto search_class = [&](Id eclass) {
    remaining -= machine.run(egraph, program_, eclass, remaining, matches);
    return remaining > 0;
  };
  if (remaining == 0) return matches;

  const auto* root = std::get_if<SymbolNode>(&ast_.nodes[ast_.root()]);
  if (root == nullptr) {
    for (Id id = 0; id < egraph.id_count(); ++id) {
      note_work();
      if (egraph.is_root(id) && !search_class(id)) break;
    }
    return matches;
  }
  // A single Bind over distinct variables yields, for each e-node it binds, the children in the
  // variables' registers: what the machine would find, in the same order, without running it.
  const auto search_flat = [&](Id eclass) {
    const Bind& bind = *flat_root_;
    for (const SymbolNode& node : egraph[eclass].nodes) {
      if (node.op != bind.op || node.children.size() != bind.arity) continue;
      const std::span<Id> row = matches.add_row(eclass);
      for (std::size_t k = 0; k < row.size(); ++k) {
        row[k] = node.children[program_.var_registers[k] - bind.output];
      }
      if (--remaining == 0) return false;
    }
    return true;
  };
  // Only classes holding an e-node with the root's operator can match; skipping the others, in id
  // order, leaves the result of a scan over every class unchanged.
  const std::span<const Id> candidates = egraph.classes_by_op(root->op);
  matches.reserve(std::min(candidates.size(), limit));
  // A class's node list is found through its slot, so the slot is loaded first.
  for_each_with_lookahead<kPrefetchDistance>(
      candidates.size(), [&](std::size_t i) { return candidates[i]; },
      [&](Id eclass) { egraph.prefetch_class_nodes(eclass); },
      [&](std::size_t, Id eclass) {
        note_work();
        return flat_root_ ? search_flat(eclass) : search_class(eclass);
      },
      preload<2 * kPrefetchDistance>([&](std::size_t i) { egraph.prefetch_class(candidates[i]); }));
  return matches;
}

// In a clean e-graph a class's nodes are distinct, so a single Bind over distinct variables yields
// exactly one substitution per e-node it binds, in whichever class that e-node lies.
std::optional<std::size_t> Pattern::match_count(const EGraph& egraph) const {
  check_invariant(egraph.is_clean(), "search needs a rebuilt e-graph");
  if (!flat_root_) return std::nullopt;
  return egraph.count_nodes(flat_root_->op, flat_root_->arity);
}

// A rule that fires again on a term it already merged finds the instance among the matched class's
// own nodes; answering from that short list gives what `add` would, without probing the memo.
Id Pattern::add_root(EGraph& egraph, SymbolNode node, Id matched) const {
  for (Id& child : node.children) child = egraph.find(child);
  if (egraph.class_lists(matched, node, kShortClass)) return egraph.find(matched);
  return egraph.find(egraph.add(std::move(node)));
}

Pattern::InstancePlan Pattern::plan_instance(const EGraph& egraph, std::span<const Id> row,
                                             const Columns& columns) const {
  InstancePlan plan;
  if (!first_leaf_) return plan;
  plan.first_leaf = first_leaf_node(egraph, row, columns);
  plan.whole = first_leaf_ == ast_.root();
  if (plan.whole) plan.listed = egraph.class_lists(row[0], *plan.first_leaf, kShortClass);
  return plan;
}

void Pattern::load_planned(const EGraph& egraph, const InstancePlan& plan) {
  if (!plan.first_leaf || plan.listed) return;
  egraph.prefetch_node(*plan.first_leaf);
  for (Id child : plan.first_leaf->children) egraph.prefetch_class(child);
}

Id Pattern::instantiate(EGraph& egraph, std::span<const Id> row, const Columns& columns,
                        std::vector<Id>& ids, InstancePlan plan) const {
  if (plan.whole) {
    // A node listed in a class stays listed there (lists only grow and merge); while its children
    // are still roots it is also still the canonical instance, so adding it would give that class.
    const auto& children = plan.first_leaf->children;
    if (plan.listed &&
        std::all_of(children.begin(), children.end(), [&](Id id) { return egraph.is_root(id); })) {
      return egraph.find(row[0]);
    }
    // The planned node may name classes merged since; adding canonicalizes them again. Its class
    // was checked for it when it was planned, and adding finds the node wherever it got listed
    // since.
    return egraph.find(egraph.add(std::move(*plan.first_leaf)));
  }
  ids.clear();
  for (std::size_t i = 0; i < ast_.nodes.size(); ++i) {
    const PatternNode& entry = ast_.nodes[i];
    if (std::holds_alternative<Var>(entry)) {
      ids.push_back(row[columns[i]]);
      continue;
    }
    SymbolNode node;
    if (i == first_leaf_) {
      node = std::move(*plan.first_leaf);
    } else {
      node = std::get<SymbolNode>(entry);
      for (Id& child : node.children) child = ids[child];
    }
    ids.push_back(i == ast_.root() ? add_root(egraph, std::move(node), row[0])
                                   : egraph.find(egraph.add(std::move(node))));
  }
  return ids.back();
}

SymbolNode Pattern::first_leaf_node(const EGraph& egraph, std::span<const Id> row,
                                    const Columns& columns) const {
  const SymbolNode& pattern_node = std::get<SymbolNode>(ast_.nodes[*first_leaf_]);
  SymbolNode node{pattern_node.op, {}};
  for (Id child : pattern_node.children) node.children.push_back(egraph.find(row[columns[child]]));
  return node;
}

// Application runs as a pipeline over the matches, because on a large e-graph each step's reads
// are cache misses that are cheap only when overlapped:
// - 3 * kPrefetchDistance ahead: load the union-find slots of the match's classes (the matched one
//   and those bound to variables) and the matched class;
// - 2 * kPrefetchDistance ahead: load the matched class's node list if it is out of line;
// - kPrefetchDistance ahead: compute the first node the instance adds; when that node is the whole
//   instance and the matched class already lists it, nothing will be added, otherwise load its
//   memo slot and the classes whose uses it joins;
// - then instantiate and merge, in order.
std::vector<Id> Pattern::apply_matches(EGraph& egraph, const MatchList& matches) const {
  std::vector<Id> changed;
  if (matches.empty()) return changed;
  Columns columns(ast_.nodes.size(), 0);
  for (std::size_t i = 0; i < ast_.nodes.size(); ++i) {
    const auto* var = std::get_if<Var>(&ast_.nodes[i]);
    if (var == nullptr) continue;
    const std::optional<std::size_t> column = matches.column(*var);
    check_invariant(column.has_value(), "right-hand side variable not bound by the match");
    columns[i] = *column;
  }
  const auto load_classes = [&](std::size_t i) {
    const std::span<const Id> row = matches.row(i);
    for (Id id : row) egraph.prefetch_parent(id);
    egraph.prefetch_class(row[0]);
  };
  const auto load_nodes = [&](std::size_t i) { egraph.prefetch_class_nodes(matches.row(i)[0]); };

  std::vector<Id> ids;
  for_each_with_lookahead<kPrefetchDistance>(
      matches.size(), [&](std::size_t i) { return plan_instance(egraph, matches.row(i), columns); },
      [&](const InstancePlan& plan) { load_planned(egraph, plan); },
      [&](std::size_t i, InstancePlan&& plan) {
        note_work();
        const std::span<const Id> row = matches.row(i);
        const Id instance = instantiate(egraph, row, columns, ids, std::move(plan));
        if (egraph.union_(instance, row[0])) changed.push_back(instance);
      },
      preload<3 * kPrefetchDistance>(load_classes), preload<2 * kPrefetchDistance>(load_nodes));
  return changed;
}

}  // namespace tarnvel::egraph

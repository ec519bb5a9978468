#include "egraph/pattern.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <initializer_list>
#include <span>
#include <string_view>
#include <vector>

#include "egraph/rewrite.hpp"
#include "support/fault.hpp"

namespace tarnvel::egraph {
namespace {

PatternParseError parse_error(std::string_view text) {
  SymbolTable symbols;
  auto parsed = parse_flat_pattern(text, symbols);
  EXPECT_FALSE(parsed.has_value()) << text;
  return parsed ? PatternParseError{} : parsed.error();
}

PatternParseError syntax_error(const char* message, std::size_t line, std::size_t column) {
  return MalformedText{SexpError{message, line, column}};
}

TEST(PatternParseTest, ReportsEveryErrorKind) {
  EXPECT_EQ(parse_error(""), PatternParseError{EmptyExpression{}});
  EXPECT_EQ(parse_error("  \n "), PatternParseError{EmptyExpression{}});
  EXPECT_EQ(parse_error("(f ())"), PatternParseError{EmptyExpression{}});
  EXPECT_EQ(parse_error("((f a) b)"), PatternParseError{ListAsOperator{}});
  EXPECT_EQ(parse_error("(f (?x a))"), PatternParseError{VariableWithOperands{"?x"}});
  EXPECT_EQ(parse_error("(f a))"), syntax_error("Unexpected )", 1, 6));
  EXPECT_EQ(parse_error(")"), syntax_error("Unexpected )", 1, 1));
  EXPECT_EQ(parse_error("(f\n  (g a)"), syntax_error("Unexpected end of input", 2, 8));
  EXPECT_EQ(parse_error("\"abc"), syntax_error("Unterminated string", 1, 1));
  EXPECT_EQ(parse_error("a b"), syntax_error("Unexpected text after the expression", 1, 3));

  EXPECT_EQ(to_string(parse_error("()")), "the pattern or one of its lists is empty");
  EXPECT_EQ(to_string(parse_error("((f) a)")), "a list stands where an operator belongs");
  EXPECT_EQ(to_string(parse_error("(?x a)")), "variable ?x is given operands");
  EXPECT_EQ(to_string(parse_error("(a))")),
            "the pattern text is malformed: Unexpected ) at line 1, column 4");
}

TEST(PatternParseTest, AtomsKeepEveryCharacterButSpaceAndParentheses) {
  SymbolTable symbols;
  auto parsed = parse_flat_pattern(" (op|add|scalar=f0000000000000000;side=sr\t?x) ", symbols);
  ASSERT_TRUE(parsed.has_value());
  ASSERT_EQ(parsed->nodes.size(), 2u);
  EXPECT_EQ(parsed->nodes[0], PatternNode{Var{symbols.intern("?x")}});
  EXPECT_EQ(parsed->nodes[1], PatternNode(SymbolNode{
                                  symbols.intern("op|add|scalar=f0000000000000000;side=sr"), {0}}));

  auto lone = parse_flat_pattern("(? \"?\" (?y))", symbols);  // "?" alone is an operator
  ASSERT_TRUE(lone.has_value());
  const SymbolNode& quoted = std::get<SymbolNode>(lone->nodes[0]);
  EXPECT_EQ(quoted.op, symbols.intern("?"));
  EXPECT_TRUE(quoted.children.empty());
  EXPECT_EQ(lone->nodes[1], PatternNode{Var{symbols.intern("?y")}});
  EXPECT_EQ(lone->nodes[2], PatternNode(SymbolNode{symbols.intern("?"), {0, 1}}));
}

TEST(PatternParseTest, CompactionSharesIdenticalSubpatterns) {
  SymbolTable symbols;
  const Pattern repeated = *Pattern::parse("(f ?a ?a)", symbols);
  EXPECT_EQ(repeated.ast().nodes.size(), 2u);
  const Pattern ground = *Pattern::parse("(f (g b) (g b) ?c)", symbols);
  EXPECT_EQ(ground.ast().nodes.size(), 4u);  // b, (g b), ?c, the root
  EXPECT_EQ(std::get<SymbolNode>(ground.ast().nodes.back()).children,
            (SymbolNode::Children{1, 1, 2}));
}

class PatternMatchTest : public ::testing::Test {
 protected:
  Id add(std::string_view op, std::initializer_list<Id> children = {}) {
    return graph.find(
        graph.add(SymbolNode{graph.symbols().intern(op), SymbolNode::Children(children)}));
  }
  Pattern pattern(std::string_view text) { return *Pattern::parse(text, graph.symbols()); }
  Var var(std::string_view text) { return Var{graph.symbols().intern(text)}; }
  Id bound(const MatchList& matches, std::size_t row, std::string_view text) {
    return matches.row(row)[*matches.column(var(text))];
  }

  EGraph graph;
};

TEST_F(PatternMatchTest, MatchesOperatorAndArityOncePerEmbedding) {
  const Id x = add("x");
  const Id y = add("y");
  const Id sum = add("op|add", {x, y});
  add("op|add", {x, y, x});
  add("op|sub", {x, y});
  graph.rebuild();
  const Pattern addition = pattern("(op|add ?a ?b)");
  auto matches = addition.search(graph, 100);
  ASSERT_EQ(matches.size(), 1u);
  EXPECT_EQ(matches.row(0)[0], sum);
  EXPECT_EQ(bound(matches, 0, "?a"), x);
  EXPECT_EQ(bound(matches, 0, "?b"), y);

  graph.union_(sum, add("op|add", {y, x}));  // both operand orders in one class
  graph.rebuild();
  EXPECT_EQ(addition.search(graph, 100).size(), 2u);
  matches = pattern("?v").search(graph, 100);  // a lone variable: every class once
  ASSERT_EQ(matches.size(), graph.number_of_classes());
  for (std::size_t i = 0; i < matches.size(); ++i) {
    EXPECT_EQ(matches.row(i)[0], bound(matches, i, "?v")) << "a lone variable binds its class";
  }
}

TEST_F(PatternMatchTest, ARepeatedVariableNeedsOneClass) {
  const Id x = add("x");
  const Id y = add("y");
  const Id same = add("f", {x, x});
  const Id mixed = add("f", {x, y});
  graph.rebuild();
  const Pattern twice = pattern("(f ?a ?a)");
  auto matches = twice.search(graph, 100);
  ASSERT_EQ(matches.size(), 1u);
  EXPECT_EQ(matches.row(0)[0], same);

  graph.union_(x, y);  // now f(x, y) is f(x, x): both nodes meet in one class
  graph.rebuild();
  matches = twice.search(graph, 100);
  ASSERT_EQ(matches.size(), 1u);
  EXPECT_EQ(matches.row(0)[0], graph.find(mixed));
}

// The count a scheduler may ban on must be exactly the unlimited search's total, also after merges
// put several nodes with the operator into one class and a later rebuild changes them again.
TEST_F(PatternMatchTest, AMatchCountIsTheTotalOfAnUnlimitedSearch) {
  const Id x = add("x");
  const Id y = add("y");
  const Id xy = add("f", {x, y});
  add("f", {x, y, x});
  const Id fx = add("f", {x});
  add("f");
  graph.rebuild();
  const auto expect_counts = [&] {
    for (const char* text : {"(f ?a ?b)", "(f ?a)", "(f)", "(f ?a ?b ?c)", "(g ?a)"}) {
      const Pattern flat = pattern(text);
      ASSERT_TRUE(flat.match_count(graph).has_value()) << text;
      EXPECT_EQ(*flat.match_count(graph), flat.search(graph, 1000).size()) << text;
    }
  };
  expect_counts();
  EXPECT_EQ(*pattern("(f ?a ?b)").match_count(graph), 1u);

  graph.union_(xy, add("f", {y, x}));  // two f/2 nodes in one class
  graph.rebuild();
  expect_counts();
  EXPECT_EQ(*pattern("(f ?a ?b)").match_count(graph), 2u);

  graph.union_(x, y);  // f(x, y) and f(y, x) become one node; f(x) gains a twin f(y)
  add("f", {y});
  graph.union_(fx, add("g", {x}));
  graph.rebuild();
  expect_counts();
  EXPECT_EQ(*pattern("(f ?a ?b)").match_count(graph), 1u);

  for (const char* text : {"(f ?a ?a)", "(f (g ?a) ?b)", "(f x ?b)", "?v"}) {
    EXPECT_FALSE(pattern(text).match_count(graph).has_value()) << text;
  }
}

TEST_F(PatternMatchTest, TheLimitCapsTheMatches) {
  const Id x = add("x");
  add("f", {x});
  add("f", {add("f", {x})});
  graph.rebuild();
  const Pattern f = pattern("(f ?a)");
  EXPECT_EQ(f.search(graph, 1).size(), 1u);
  EXPECT_TRUE(f.search(graph, 0).empty());
  EXPECT_EQ(f.search(graph, 2).size(), 2u);
}

TEST_F(PatternMatchTest, GroundSubpatternsAreLookedUp) {
  const Id x = add("x");
  const Id b = add("b");
  const Id hit = add("f", {x, add("g", {b})});
  add("f", {x, add("g", {add("c")})});
  graph.rebuild();
  const Pattern ground = pattern("(f ?a (g b))");
  EXPECT_TRUE(std::holds_alternative<Lookup>(ground.program().instructions.back()));
  const auto matches = ground.search(graph, 100);
  ASSERT_EQ(matches.size(), 1u);
  EXPECT_EQ(matches.row(0)[0], hit);
}

TEST_F(PatternMatchTest, LargeClassesAreBoundThroughTheirSortedOrder) {
  const Id x = add("x");
  std::vector<Id> members;
  for (int i = 0; i < 60; ++i) members.push_back(add("leaf" + std::to_string(i)));
  const Id f1 = add("f", {members[3]});
  const Id f2 = add("f", {members[40]});
  Id merged = members[0];
  for (Id id : members) graph.union_(merged, id);
  graph.union_(merged, f1);
  graph.union_(merged, f2);
  graph.union_(merged, add("g", {x}));
  graph.rebuild();
  ASSERT_GE(graph[merged].nodes.size(), 50u);
  const auto matches = pattern("(f ?a)").search(graph, 100);
  EXPECT_EQ(matches.size(), 1u) << "f(m3) and f(m40) are one node after the merge";
  EXPECT_EQ(pattern("(g ?a)").search(graph, 100).size(), 1u);
}

TEST_F(PatternMatchTest, ADirtyEgraphIsNotSearched) {
  const Id x = add("x");
  const Pattern any = pattern("?v");
  EXPECT_THROW(any.search(graph, 10), InternalFault) << "never rebuilt";
  graph.rebuild();
  graph.union_(x, add("y"));
  try {
    any.search(graph, 10);
    FAIL() << "searched a dirty e-graph";
  } catch (const InternalFault& fault) {
    EXPECT_STREQ(fault.what(), "search needs a rebuilt e-graph");
  }
}

// A row is the matched class, then one class per variable in the order of `vars()`: a row of the
// wrong width, or with its variables swapped, binds the wrong classes.
TEST_F(PatternMatchTest, RowsHoldTheClassThenEachVariableInOrder) {
  const Id x = add("x");
  const Id y = add("y");
  const Id gy = add("g", {y});
  const Id nested_hit = add("f", {gy, x});
  const Id xy = add("f", {x, y});
  graph.union_(xy, add("f", {y, x}));  // two matches of a flat pattern in one class
  graph.rebuild();

  const Pattern nested = pattern("(f (g ?a) ?b)");
  const MatchList found = nested.search(graph, 100);
  EXPECT_TRUE(std::ranges::equal(found.vars(), nested.program().vars));
  ASSERT_EQ(found.width(), 3u);
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found.row(0)[0], nested_hit);
  EXPECT_EQ(bound(found, 0, "?a"), y);
  EXPECT_EQ(bound(found, 0, "?b"), x);
  EXPECT_FALSE(found.column(var("?c")).has_value());

  // The flat path fills rows without running the machine; both must agree row for row.
  const Pattern flat = pattern("(f ?b ?a)");
  const MatchList rows = flat.search(graph, 100);
  MatchList machine_rows(flat.program().vars);
  Machine machine;
  for (Id id = 0; id < graph.id_count(); ++id) {
    if (graph.is_root(id)) machine.run(graph, flat.program(), id, 100, machine_rows);
  }
  EXPECT_EQ(rows, machine_rows);
  ASSERT_EQ(rows.size(), 3u);
  std::vector<std::pair<Id, Id>> in_merged;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    if (rows.row(i)[0] == graph.find(xy))
      in_merged.emplace_back(bound(rows, i, "?b"), bound(rows, i, "?a"));
    if (rows.row(i)[0] == nested_hit) {
      EXPECT_EQ(bound(rows, i, "?b"), gy);
      EXPECT_EQ(bound(rows, i, "?a"), x);
    }
  }
  std::ranges::sort(in_merged);
  EXPECT_EQ(in_merged, (std::vector<std::pair<Id, Id>>{{std::min(x, y), std::max(x, y)},
                                                       {std::max(x, y), std::min(x, y)}}));

  // A limit keeps a prefix of the unlimited result, also inside a class with several matches.
  for (const Pattern* searched : {&nested, &flat}) {
    const MatchList all = searched->search(graph, 100);
    for (std::size_t limit = 0; limit <= all.size(); ++limit) {
      const MatchList some = searched->search(graph, limit);
      ASSERT_EQ(some.size(), limit);
      for (std::size_t i = 0; i < limit; ++i) {
        EXPECT_TRUE(std::ranges::equal(some.row(i), all.row(i))) << limit;
      }
    }
  }

  // A reused buffer takes the layout of the new search, whatever it held before.
  MatchList reused = pattern("?v").search(graph, 100);
  reused = nested.search(graph, 100, std::move(reused));
  EXPECT_EQ(reused, found);
  MatchList lone = pattern("?v").search(graph, 1);
  EXPECT_THROW(machine.run(graph, nested.program(), nested_hit, 1, lone), InternalFault)
      << "a list for ?v cannot take the rows of (f (g ?a) ?b)";
}

TEST_F(PatternMatchTest, ApplyingAddsTheRightSideAndMerges) {
  const Id x = add("x");
  const Id y = add("y");
  const Id sum = add("op|add", {x, y});
  graph.rebuild();
  const Rewrite commute =
      *Rewrite::parse("commute-add", "(op|add ?a ?b)", "(op|add ?b ?a)", graph.symbols());
  auto changed = commute.apply(graph, commute.search(graph, 100));
  ASSERT_EQ(changed.size(), 1u);
  graph.rebuild();
  EXPECT_EQ(graph.lookup(SymbolNode{graph.symbols().intern("op|add"), {y, x}}), graph.find(sum));
  EXPECT_TRUE(commute.apply(graph, commute.search(graph, 100)).empty()) << "nothing new to merge";

  const Id plus_zero = add("op|add|scalar=f0000000000000000;side=sr", {x});
  graph.rebuild();
  const Rewrite identity = *Rewrite::parse(
      "identity-0", "(op|add|scalar=f0000000000000000;side=sr ?x)", "?x", graph.symbols());
  const std::size_t size = graph.total_size();
  EXPECT_EQ(identity.apply(graph, identity.search(graph, 100)).size(), 1u);
  EXPECT_EQ(graph.total_size(), size) << "a lone variable adds nothing";
  graph.rebuild();
  EXPECT_EQ(graph.find(plus_zero), graph.find(x));
}

// Application finds each variable by its column, whatever order the matches bind them in.
TEST_F(PatternMatchTest, ApplyingReadsVariablesByColumn) {
  const Id x = add("x");
  const Id y = add("y");
  const Id matched = add("m");
  graph.rebuild();
  const Pattern right = pattern("(h ?a ?b)");
  MatchList matches(std::vector<Var>{var("?b"), var("?a")});
  const std::span<Id> slots = matches.add_row(matched);
  slots[0] = y;  // ?b
  slots[1] = x;  // ?a
  EXPECT_EQ(right.apply_matches(graph, matches).size(), 1u);
  graph.rebuild();
  EXPECT_EQ(graph.lookup(SymbolNode{graph.symbols().intern("h"), {x, y}}), graph.find(matched));

  MatchList missing(std::vector<Var>{var("?a")});
  EXPECT_TRUE(right.apply_matches(graph, missing).empty()) << "no matches, nothing to bind";
  missing.add_row(matched)[0] = x;
  const std::size_t size = graph.total_size();
  try {
    right.apply_matches(graph, missing);
    FAIL() << "applied with ?b unbound";
  } catch (const InternalFault& fault) {
    EXPECT_STREQ(fault.what(), "right-hand side variable not bound by the match");
  }
  EXPECT_EQ(graph.total_size(), size) << "nothing added before the fault";
}

// Application loads ahead and answers re-fired matches from the matched class; the outcome must be
// exactly that of adding each instance and merging it, in order: same roots, same memo growth.
TEST(PatternApplyTest, ApplyingMatchesEqualsAddingEachInstanceInOrder) {
  EGraph pipelined;
  EGraph reference;
  const Rewrite commute = *Rewrite::parse("c", "(f ?a ?b)", "(f ?b ?a)", pipelined.symbols());
  const Rewrite nest = *Rewrite::parse("n", "(f ?a ?b)", "(g (f ?a ?b) ?a)", pipelined.symbols());
  reference = EGraph(pipelined.symbols());
  std::uint64_t state = 12345;
  const auto next = [&](std::uint64_t bound) {
    state = state * 6364136223846793005u + 1442695040888963407u;
    return static_cast<Id>((state >> 33) % bound);
  };
  for (EGraph* graph : {&pipelined, &reference}) {
    state = 12345;
    for (int i = 0; i < 12; ++i) {
      graph->add(SymbolNode{graph->symbols().intern("x" + std::to_string(i)), {}});
    }
    // Nested terms over recent classes, many with their commuted twin present and used, so that
    // merges during one application make the children of later instances stale.
    for (int i = 0; i < 400; ++i) {
      const Id size = static_cast<Id>(graph->id_count());
      const Id a = size - 1 - next(std::min<Id>(size, 16));
      const Id b = next(size);
      const Symbol op = graph->symbols().intern(i % 4 == 0 ? "g" : "f");
      graph->add(SymbolNode{op, {a, b}});
      if (i % 3 == 0) graph->add(SymbolNode{op, {b, a}});
      if (i % 40 == 0) graph->union_(a, b);
    }
    graph->rebuild();
  }
  const auto add_each = [](EGraph& graph, const Pattern& applier, const MatchList& matches) {
    std::size_t changed = 0;
    for (std::size_t i = 0; i < matches.size(); ++i) {
      std::vector<Id> ids;
      for (const PatternNode& entry : applier.ast().nodes) {
        if (const auto* var = std::get_if<Var>(&entry)) {
          ids.push_back(matches.row(i)[*matches.column(*var)]);
          continue;
        }
        SymbolNode node = std::get<SymbolNode>(entry);
        for (Id& child : node.children) child = ids[child];
        ids.push_back(graph.find(graph.add(std::move(node))));
      }
      changed += graph.union_(ids.back(), matches.row(i)[0]) ? 1 : 0;
    }
    return changed;
  };
  for (int round = 0; round < 4; ++round) {
    for (const Rewrite* rule : {&commute, &nest}) {
      const auto matches = rule->search(pipelined, 100000);
      ASSERT_EQ(rule->search(reference, 100000).size(), matches.size());
      EXPECT_EQ(rule->apply(pipelined, matches).size(),
                add_each(reference, rule->applier(), rule->search(reference, 100000)));
      ASSERT_EQ(pipelined.total_size(), reference.total_size()) << "round " << round;
      pipelined.rebuild();
      reference.rebuild();
    }
    ASSERT_EQ(pipelined.roots(), reference.roots()) << "round " << round;
    EXPECT_EQ(commute.match_count(pipelined), commute.search(pipelined, 100000).size())
        << "round " << round;
    EXPECT_EQ(pipelined.number_of_classes(), reference.number_of_classes());
  }
  pipelined.verify();
}

TEST(RewriteTest, ARightSideVariableMustBeBoundOnTheLeft) {
  SymbolTable symbols;
  const auto rule = Rewrite::parse("swap", "(f ?a ?b)", "(f ?b (g ?c ?a))", symbols);
  ASSERT_FALSE(rule.has_value());
  EXPECT_EQ(rule.error(), "rule swap uses variable ?c, which its left side does not bind");
  EXPECT_EQ(Rewrite::parse("bad", "(f ?a", "?a", symbols).error(),
            "the pattern text is malformed: Unexpected end of input at line 1, column 6");
}

}  // namespace
}  // namespace tarnvel::egraph

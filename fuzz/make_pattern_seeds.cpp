// Writes the seed corpus of pattern_fuzz into a directory: the searcher and applier texts of the
// rewrite engine's rules, built from the same operators the engine builds them from (the fixed
// operators: the commutative ones and the identities), compositions of them, quoted forms and
// texts that reach each parse error.
//
//   make_pattern_seeds DIR
#include <string>
#include <vector>

#include "ir/fixed_operators.hpp"
#include "quote_atom.hpp"
#include "seed_corpus.hpp"

int main(int argc, char** argv) {
  const tarnvel::seeds::Corpus corpus(argc, argv);
  std::vector<std::string> texts;
  const std::vector<tarnvel::NodeKey> fixed = tarnvel::fixed_operators();
  for (tarnvel::OpId id = tarnvel::kFirstCommutativeOp; id < tarnvel::kFirstIdentityOp; ++id) {
    const std::string op = fixed[id].token();
    texts.push_back("(" + op + " ?a ?b)");
    texts.push_back("(" + op + " ?b ?a)");
    texts.push_back("(" + op + " (" + op + " ?a ?b) ?a)");
    texts.push_back("(" + tarnvel::fuzzing::quote_atom(op) + " ?x \"?x\")");
  }
  for (tarnvel::OpId id = tarnvel::kFirstIdentityOp; id < tarnvel::kFixedOperatorCount; ++id) {
    const std::string identity = fixed[id].token();
    texts.push_back("(" + identity + " ?a)");
    texts.push_back("(" + identity + " (" + identity + " ?a))");
    texts.push_back("(op|mul ?a (" + identity + " src|x))");
  }
  for (const char* text :
       {"?a", "src|x", "(op|neg src|x)", "(f ?a ?a ?b ?b)", "(f (g ?a) (g ?a) ?a)",
        "  (f\n ?a\t(g \"a b\" \"\\\"q\\\\\"))  ", "(f \"\" ?)", "?",
        // parse errors: empty, empty list, list head, variable with operands,
        // unbalanced, trailing text, unterminated string
        "", "()", "((f) ?a)", "(?a b)", "(f ?a", "f)", "(f) (g)", "(f \"abc", "(f \"\\"}) {
    texts.push_back(text);
  }
  for (std::size_t i = 0; i < texts.size(); ++i)
    corpus.put("pattern-" + std::to_string(i), texts[i]);
  return 0;
}

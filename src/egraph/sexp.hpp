// The S-expression reader behind pattern texts.
//
// Syntax: "(" opens a list, ")" closes it; an atom is a maximal run of characters other than white
// space and parentheses (so "|", ";", "=" and digits are atom characters); a double-quoted string,
// with backslash escaping the next character, is an atom as well. Exactly one S-expression is read;
// the text is trimmed first and an empty text is the empty S-expression.
#pragma once

#include <cstddef>
#include <expected>
#include <string>
#include <string_view>
#include <vector>

namespace tarnvel::egraph {

// A syntax error with its position in the trimmed text (line and column from 1, column in bytes).
struct SexpError {
  std::string message;
  std::size_t line = 1;
  std::size_t column = 1;

  friend bool operator==(const SexpError&, const SexpError&) = default;
};
std::string to_string(const SexpError& error);

struct SexpToken {
  enum class Kind { Open, Close, Atom };
  Kind kind;
  std::string atom;  // Atom only: the atom's text (a string's contents, unescaped)
};

// One S-expression as its tokens in reading order, parentheses balanced. Empty for the empty
// S-expression.
using Sexp = std::vector<SexpToken>;

[[nodiscard]] std::expected<Sexp, SexpError> read_sexp(std::string_view text);

}  // namespace tarnvel::egraph

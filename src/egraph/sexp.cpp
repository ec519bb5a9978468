#include "egraph/sexp.hpp"

namespace tarnvel::egraph {
namespace {

bool is_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}

std::string_view trim(std::string_view text) {
  while (!text.empty() && is_space(text.front())) text.remove_prefix(1);
  while (!text.empty() && is_space(text.back())) text.remove_suffix(1);
  return text;
}

class Reader {
 public:
  explicit Reader(std::string_view text) : text_(text) {}

  std::expected<Sexp, SexpError> read() {
    Sexp tokens;
    std::size_t depth = 0;
    bool complete = false;
    while (true) {
      skip_space();
      if (at_end()) break;
      const char c = text_[position_];
      if (c == ')' && depth == 0) return error("Unexpected )");
      if (complete) return error("Unexpected text after the expression");
      if (c == '(') {
        ++depth;
        advance();
        tokens.push_back({SexpToken::Kind::Open, {}});
      } else if (c == ')') {
        --depth;
        advance();
        tokens.push_back({SexpToken::Kind::Close, {}});
      } else {
        auto atom = c == '"' ? read_string() : read_atom();
        if (!atom) return std::unexpected(std::move(atom.error()));
        tokens.push_back({SexpToken::Kind::Atom, std::move(*atom)});
      }
      complete = depth == 0;
    }
    if (depth > 0) return error("Unexpected end of input");
    return tokens;
  }

 private:
  bool at_end() const { return position_ == text_.size(); }

  void advance() {
    if (text_[position_] == '\n') {
      ++line_;
      column_ = 1;
    } else {
      ++column_;
    }
    ++position_;
  }

  void skip_space() {
    while (!at_end() && is_space(text_[position_])) advance();
  }

  std::unexpected<SexpError> error(std::string message) const {
    return std::unexpected(SexpError{std::move(message), line_, column_});
  }

  std::expected<std::string, SexpError> read_atom() {
    const std::size_t start = position_;
    while (!at_end()) {
      const char c = text_[position_];
      if (is_space(c) || c == '(' || c == ')') break;
      advance();
    }
    return std::string(text_.substr(start, position_ - start));
  }

  std::expected<std::string, SexpError> read_string() {
    const SexpError unterminated{"Unterminated string", line_, column_};
    advance();  // the opening quote
    std::string atom;
    while (!at_end()) {
      char c = text_[position_];
      advance();
      if (c == '"') return atom;
      if (c == '\\') {
        if (at_end()) break;
        c = text_[position_];
        advance();
      }
      atom.push_back(c);
    }
    return std::unexpected(unterminated);
  }

  std::string_view text_;
  std::size_t position_ = 0;
  std::size_t line_ = 1;
  std::size_t column_ = 1;
};

}  // namespace

std::string to_string(const SexpError& error) {
  return error.message + " at line " + std::to_string(error.line) + ", column " +
         std::to_string(error.column);
}

std::expected<Sexp, SexpError> read_sexp(std::string_view text) {
  return Reader(trim(text)).read();
}

}  // namespace tarnvel::egraph

// MatchList: the matches a pattern search finds, one row per match.
#pragma once

#include <algorithm>
#include <cstddef>
#include <optional>
#include <span>
#include <vector>

#include "egraph/flat_pattern.hpp"
#include "egraph/id.hpp"

namespace tarnvel::egraph {

// The matches of one pattern, as rows of equal width in one array: the matched class, then the
// class bound to each of `vars()` in order. Every match of a pattern binds the same variables, so
// a row costs 4 bytes per column; a search of a large graph keeps millions of rows.
class MatchList {
 public:
  MatchList() = default;
  explicit MatchList(std::span<const Var> vars) { reset(vars); }

  // Empties the list for matches binding `vars`, keeping its memory for the rows to come.
  void reset(std::span<const Var> vars) {
    vars_.assign(vars.begin(), vars.end());
    ids_.clear();
  }
  void clear() { ids_.clear(); }
  void reserve(std::size_t rows) { ids_.reserve(rows * width()); }

  std::span<const Var> vars() const { return vars_; }
  std::size_t width() const { return 1 + vars_.size(); }
  std::size_t size() const { return ids_.size() / width(); }
  bool empty() const { return ids_.empty(); }
  std::span<const Id> row(std::size_t index) const {
    return std::span<const Id>(ids_).subspan(index * width(), width());
  }
  // The row position of `var`'s class, or nothing when the matches do not bind it.
  std::optional<std::size_t> column(Var var) const {
    const auto found = std::find(vars_.begin(), vars_.end(), var);
    if (found == vars_.end()) return std::nullopt;
    return 1 + static_cast<std::size_t>(found - vars_.begin());
  }

  // Appends a row for a match in `eclass`; returns its variable slots, in `vars()` order, to fill.
  std::span<Id> add_row(Id eclass) {
    ids_.push_back(eclass);
    ids_.resize(ids_.size() + vars_.size());
    return std::span<Id>(ids_).last(vars_.size());
  }

  friend bool operator==(const MatchList&, const MatchList&) = default;

 private:
  std::vector<Var> vars_;
  std::vector<Id> ids_;
};

}  // namespace tarnvel::egraph

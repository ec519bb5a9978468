// DOT rendering of a store: fully determined by the nodes and the marks.
#include <algorithm>

#include "store/graph_store.hpp"

namespace tarnvel {
namespace {

// Escapes a label for a DOT quoted string: backslashes doubled first, then quotes escaped.
std::string escape_dot_label(std::string_view label) {
  std::string out;
  out.reserve(label.size());
  for (char c : label) {
    if (c == '\\') out += "\\\\";
    else if (c == '"') out += "\\\"";
    else out += c;
  }
  return out;
}

}  // namespace

std::string GraphStore::to_dot() const {
  return mutex_.with_lock([&] {
    std::string out = "digraph tarnvel {\n";
    for (NodeId id = 0; id < nodes_.size(); ++id) {
      const bool is_output = std::find(outputs_.begin(), outputs_.end(), id) != outputs_.end();
      out += "  n" + std::to_string(id) + " [label=\"" + escape_dot_label(nodes_[id].label()) + '"';
      if (is_output) out += ", shape=doublecircle";
      out += "];\n";
    }
    for (NodeId id = 0; id < nodes_.size(); ++id) {
      for (NodeId input : nodes_[id].inputs()) {
        out += "  n" + std::to_string(input) + " -> n" + std::to_string(id) + ";\n";
      }
    }
    out += "}\n";
    return out;
  });
}

}  // namespace tarnvel

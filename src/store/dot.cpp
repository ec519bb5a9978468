// DOT rendering of a store: fully determined by the nodes and the marks.
#include <vector>

#include "store/graph_store.hpp"
#include "support/interruption.hpp"

namespace tarnvel {
namespace {

// Escapes a label for a DOT quoted string: backslashes doubled first, then quotes escaped.
std::string escape_dot_label(std::string_view label) {
  std::string out;
  out.reserve(label.size());
  for (char c : label) {
    if (c == '\\')
      out += "\\\\";
    else if (c == '"')
      out += "\\\"";
    else
      out += c;
  }
  return out;
}

}  // namespace

std::string GraphStore::to_dot() const {
  const View view = this->view();
  std::vector<bool> is_output(view.nodes.size(), false);
  for (NodeId id : view.outputs) is_output[id] = true;
  std::string out = "digraph tarnvel {\n";
  for (NodeId id = 0; id < view.nodes.size(); ++id) {
    note_work();
    out +=
        "  n" + std::to_string(id) + " [label=\"" + escape_dot_label(view.nodes[id].label()) + '"';
    if (is_output[id]) out += ", shape=doublecircle";
    out += "];\n";
  }
  for (NodeId id = 0; id < view.nodes.size(); ++id) {
    note_work(1 + view.nodes[id].inputs().size());
    for (NodeId input : view.nodes[id].inputs()) {
      out += "  n" + std::to_string(input) + " -> n" + std::to_string(id) + ";\n";
    }
  }
  out += "}\n";
  return out;
}

}  // namespace tarnvel

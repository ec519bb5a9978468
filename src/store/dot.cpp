// DOT rendering of a store: fully determined by the nodes and the marks.
#include <charconv>
#include <optional>
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

void append_id(std::string& out, NodeId id) {
  char digits[20];
  const auto end = std::to_chars(digits, digits + sizeof digits, id).ptr;
  out.append(digits, end);
}

}  // namespace

std::string GraphStore::to_dot() const {
  const View view = this->view();
  std::vector<bool> is_output(view.nodes.size(), false);
  for (NodeId id : view.outputs) is_output[id] = true;
  // A label depends on the operator alone: each is escaped once, on its first use.
  std::vector<std::optional<std::string>> labels;
  std::string out = "digraph tarnvel {\n";
  for (NodeId id = 0; id < view.nodes.size(); ++id) {
    note_work();
    const NodeRef node = view.nodes[id];
    if (node.op_id() >= labels.size()) labels.resize(std::size_t{node.op_id()} + 1);
    std::optional<std::string>& label = labels[node.op_id()];
    if (!label) label = escape_dot_label(node.label());
    out += "  n";
    append_id(out, id);
    out += " [label=\"";
    out += *label;
    out += is_output[id] ? "\", shape=doublecircle];\n" : "\"];\n";
  }
  for (NodeId id = 0; id < view.nodes.size(); ++id) {
    note_work(1 + view.nodes[id].inputs().size());
    for (NodeId input : view.nodes[id].inputs()) {
      out += "  n";
      append_id(out, input);
      out += " -> n";
      append_id(out, id);
      out += ";\n";
    }
  }
  out += "}\n";
  return out;
}

}  // namespace tarnvel

// Conversions between Python objects and core values. Python-to-core conversions run before any
// core lock is taken (they may run arbitrary Python code); core-to-Python conversions run after
// every core lock is released. Each returns false / null with a Python exception set on failure.
#pragma once

#include <optional>
#include <vector>

#include "ir/node.hpp"
#include "optimizer/pipeline.hpp"
#include "python/py_support.hpp"
#include "store/graph_store.hpp"

namespace tarnvel::python {

// A str argument as UTF-8, borrowed from the str (valid while it lives). The error carries the
// note naming `argument`.
bool to_name(PyObject* object, const char* argument, std::string_view& out);
bool to_string(PyObject* object, const char* argument, std::string& out);
// One unsigned 64-bit id (an int, or anything with __index__).
bool to_node_id(PyObject* object, const char* argument, NodeId& out);
// A sequence of unsigned 64-bit ids (a str is refused with "expected a sequence of node ids, got
// str").
bool to_node_ids(PyObject* object, const char* argument, NodeInputs& out);
bool to_node_ids(PyObject* object, const char* argument, std::vector<NodeId>& out);
// None (or absent) gives no list; otherwise a sequence as above.
bool to_optional_node_ids(PyObject* object, const char* argument,
                          std::optional<std::vector<NodeId>>& out);
// A dict of parameters, or None / absent for the empty map.
bool to_param_map(PyObject* object, const char* argument, ParamMap& out);
// The same, converted but not copied: `views` (sorted as a ParamMap sorts) borrow from the str
// objects `alive` holds, so they stay valid while the thread waits detached for a core lock.
// `out` must be freshly made.
struct ParamArgs {
  absl::InlinedVector<ParamView, 2> views;
  absl::InlinedVector<Ref, 4> alive;
  std::span<const ParamView> span() const { return {views.data(), views.size()}; }
};
bool to_param_args(PyObject* object, const char* argument, ParamArgs& out);
// A PayloadDescriptor object or a dict with its fields.
bool to_descriptor(PyObject* object, const char* argument, const ModuleState& state,
                   PayloadDescriptor& out);
// A bool (or a numpy bool); absent gives `fallback`.
bool to_flag(PyObject* object, const char* argument, bool fallback, bool& out);

PyObject* ids_to_py(std::span<const NodeId> ids);
PyObject* node_map_to_py(std::span<const NodeMapEntry> node_map);
// The node view: one dict per node in id order; fails on an unparseable stage member token.
PyObject* node_view_to_py(const GraphStore::View& view);
// One entry of the node view.
Ref node_to_py(NodeId id, const NodeRef& node, bool is_output);
// The six-counter report dict, a copy of `report_template` (ModuleState) with the counts set.
PyObject* report_to_py(const ReductionReport& report, PyObject* report_template);
// The module's report template: the report's keys in order, each with None.
PyObject* report_template();

}  // namespace tarnvel::python

// The layouts of the module's Python objects. C++ state is placement-constructed in tp_new and
// destroyed in tp_dealloc; no PyObject* lives inside locked core state.
#pragma once

#include <expected>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "ir/payload_descriptor.hpp"
#include "python/py_support.hpp"
#include "store/graph_store.hpp"

namespace tarnvel::python {

struct PyGraphStore {
  PyObject_HEAD
  std::unique_ptr<GraphStore> store;  // never null; set once in tp_new or by wrap_store
};

struct PyPayloadDescriptor {
  PyObject_HEAD
  PayloadDescriptor value;  // fixed at construction
};

PyType_Spec& graph_store_spec();
PyType_Spec& payload_descriptor_spec();
PyType_Spec& incremental_reducer_spec();

// The outputs of a request: the store's marks, or the given ids once each is known to name a node.
[[nodiscard]] std::expected<std::vector<NodeId>, BadNodeId> requested_outputs(
    const GraphStore& store, std::optional<std::vector<NodeId>> requested);

// Wraps a store as a new Python GraphStore of the module that defined `type_of_module`.
PyObject* wrap_store(PyTypeObject* type_of_module, std::unique_ptr<GraphStore> store);

}  // namespace tarnvel::python

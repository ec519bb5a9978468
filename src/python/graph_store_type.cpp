// The Python class GraphStore: argument binding and conversion around the core store.
#include <new>
#include <stdexcept>

#include "optimizer/pipeline.hpp"
#include "optimizer/saturation_engine.hpp"
#include "python/convert.hpp"
#include "python/objects.hpp"
#include "serialize/blob.hpp"

namespace tarnvel::python {
namespace {

GraphStore& core(PyObject* self) { return *reinterpret_cast<PyGraphStore*>(self)->store; }
PyTypeObject* type_of(PyObject* self) { return Py_TYPE(self); }

template <class Key>
PyObject* intern_key(PyObject* self, Key&& key) {
  std::expected<NodeId, BadNodeId> id;
  {
    DetachedWaits waits;
    id = core(self).intern(std::forward<Key>(key));
  }
  if (!id) return raise_bad_node_id(id.error().id);
  return PyLong_FromUnsignedLongLong(*id);
}

// add_source / add_op / add_reduction share one shape: name, inputs, params. They intern a view
// of the converted arguments, so a node recorded again copies nothing.
const Signature add_source_signature("add_source", {{"name", false, true}, {"params"}});
const Signature add_op_signature("add_op",
                                 {{"name", false, true}, {"inputs", false, true}, {"params"}});
const Signature add_reduction_signature("add_reduction", {{"name", false, true},
                                                          {"inputs", false, true},
                                                          {"params"}});

template <NodeKind kind>
PyObject* add_named(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                    PyObject* kwnames) try {
  const Signature& signature = kind == NodeKind::Source ? add_source_signature
                               : kind == NodeKind::Op   ? add_op_signature
                                                        : add_reduction_signature;
  Signature::Bound bound;
  if (!signature.bind(args, nargsf, kwnames, bound)) return nullptr;
  std::string_view name;  // borrowed from the argument, which the caller keeps alive
  NodeInputs inputs;
  ParamArgs params;
  if (!to_name(bound[0], "name", name)) return nullptr;
  if constexpr (kind == NodeKind::Source) {
    if (!to_param_args(bound[1], "params", params)) return nullptr;
  } else if (!to_node_ids(bound[1], "inputs", inputs) ||
             !to_param_args(bound[2], "params", params)) {
    return nullptr;
  }
  return intern_key(self, KeyView{kind, name, params.span(), {inputs.data(), inputs.size()}});
} catch (...) {
  return raise_current_exception(type_of(self));
}

PyObject* add_source(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return add_named<NodeKind::Source>(self, args, nargsf, kwnames);
}
PyObject* add_op(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return add_named<NodeKind::Op>(self, args, nargsf, kwnames);
}
PyObject* add_reduction(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                        PyObject* kwnames) {
  return add_named<NodeKind::Reduction>(self, args, nargsf, kwnames);
}

PyObject* add_external(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                       PyObject* kwnames) try {
  static const Signature signature(
      "add_external", {{"descriptor", false, true}, {"inputs", false, true}, {"params"}});
  Signature::Bound bound;
  if (!signature.bind(args, nargsf, kwnames, bound)) return nullptr;
  PayloadDescriptor descriptor;
  NodeInputs inputs;
  ParamMap params;
  if (!to_node_ids(bound[1], "inputs", inputs) ||
      !to_descriptor(bound[0], "descriptor", state_of(type_of(self)), descriptor) ||
      !to_param_map(bound[2], "params", params))
    return nullptr;
  return intern_key(self,
                    NodeKey::external(std::move(descriptor), std::move(params), std::move(inputs)));
} catch (...) {
  return raise_current_exception(type_of(self));
}

// add_exchange / add_join: inputs and scheme parameters, no name.
PyObject* add_boundary(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames,
                       bool is_join) try {
  static const Signature exchange_signature("add_exchange", {{"inputs", false, true}, {"params"}});
  static const Signature join_signature("add_join", {{"inputs", false, true}, {"params"}});
  Signature::Bound bound;
  if (!(is_join ? join_signature : exchange_signature).bind(args, nargsf, kwnames, bound))
    return nullptr;
  NodeInputs inputs;
  ParamArgs params;
  if (!to_node_ids(bound[0], "inputs", inputs) || !to_param_args(bound[1], "params", params))
    return nullptr;
  return intern_key(self, KeyView{is_join ? NodeKind::Join : NodeKind::Exchange,
                                  {},
                                  params.span(),
                                  {inputs.data(), inputs.size()}});
} catch (...) {
  return raise_current_exception(type_of(self));
}

PyObject* add_exchange(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                       PyObject* kwnames) {
  return add_boundary(self, args, nargsf, kwnames, false);
}
PyObject* add_join(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return add_boundary(self, args, nargsf, kwnames, true);
}

// Methods without arguments: bind (to refuse extra ones), read under the lock, convert unlocked.
// Reading or converting a large store may be interrupted.
template <class Read, class Convert>
PyObject* read_method(PyObject* self, const Signature& signature, PyObject* const* args,
                      Py_ssize_t nargsf, PyObject* kwnames, Read read, Convert convert) try {
  SignalChecks checks;
  Signature::Bound bound;
  if (!signature.bind(args, nargsf, kwnames, bound)) return nullptr;
  auto value = [&] {
    DetachedWaits waits;
    return read(core(self));
  }();
  return convert(value);
} catch (...) {
  return raise_current_exception(type_of(self));
}

PyObject* node_count(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  static const Signature signature("node_count", {});
  return read_method(
      self, signature, args, nargsf, kwnames, [](GraphStore& s) { return s.node_count(); },
      [](std::uint64_t n) { return PyLong_FromUnsignedLongLong(n); });
}

PyObject* nodes(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  static const Signature signature("nodes", {});
  return read_method(
      self, signature, args, nargsf, kwnames, [](GraphStore& s) { return s.view(); },
      [](const GraphStore::View& view) { return node_view_to_py(view); });
}

PyObject* node(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) try {
  static const Signature signature("node", {{"id", false, true}});
  Signature::Bound bound;
  NodeId id = 0;
  if (!signature.bind(args, nargsf, kwnames, bound) || !to_node_id(bound[0], "id", id))
    return nullptr;
  auto found = [&] {
    DetachedWaits waits;
    return core(self).node(id);
  }();
  if (!found) return raise_bad_node_id(found.error().id);
  return node_to_py(id, found->node(), found->output).release();
} catch (...) {
  return raise_current_exception(type_of(self));
}

PyObject* outputs(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  static const Signature signature("outputs", {});
  return read_method(
      self, signature, args, nargsf, kwnames, [](GraphStore& s) { return s.outputs(); },
      [](const std::vector<NodeId>& ids) { return ids_to_py(ids); });
}

PyObject* node_map(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  static const Signature signature("node_map", {});
  return read_method(
      self, signature, args, nargsf, kwnames, [](GraphStore& s) { return s.node_map(); },
      [](const std::vector<NodeMapEntry>& map) { return node_map_to_py(map); });
}

PyObject* to_dot(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  static const Signature signature("to_dot", {});
  return read_method(
      self, signature, args, nargsf, kwnames, [](GraphStore& s) { return s.to_dot(); },
      [](const std::string& dot) {
        return PyUnicode_FromStringAndSize(dot.data(), static_cast<Py_ssize_t>(dot.size()));
      });
}

// reduce / reduce_incremental / reduction_report share one path: convert, reduce a snapshot with a
// default engine (which shares the rules compiled once), then build the Python results with no lock
// held. reduction_report stops before the result store would be built.
enum class ReduceResult { StoreAndReport, ReportOnly };

PyObject* run_reduction(PyObject* self, bool maximal_fusion,
                        const std::optional<std::vector<NodeId>>& outputs, ReduceResult result) {
  std::unique_ptr<GraphStore> store;
  const std::expected<ReductionReport, BadNodeId> report =
      [&]() -> std::expected<ReductionReport, BadNodeId> {
    DetachedWaits waits;
    SignalChecks checks;
    const SaturationEngine engine;
    auto reduced = reduction_of(
        core(self), outputs ? std::optional<std::span<const NodeId>>(*outputs) : std::nullopt,
        engine, maximal_fusion);
    if (!reduced) return std::unexpected(reduced.error());
    if (result == ReduceResult::ReportOnly) return reduced->report;
    auto built = from_reduced(std::move(*reduced));
    store = std::move(built.first);
    return built.second;
  }();
  if (!report) return raise_bad_node_id(report.error().id);
  Ref counters = Ref::steal(report_to_py(*report, state_of(type_of(self)).report_template));
  if (!counters || result == ReduceResult::ReportOnly) return counters.release();
  Ref wrapped = Ref::steal(wrap_store(type_of(self), std::move(store)));
  if (!wrapped) return nullptr;
  return PyTuple_Pack(2, wrapped.get(), counters.get());
}

PyObject* reduce(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) try {
  static const Signature signature("reduce", {{"maximal_fusion", true}, {"outputs", true}});
  Signature::Bound bound;
  if (!signature.bind(args, nargsf, kwnames, bound)) return nullptr;
  bool maximal_fusion = false;
  std::optional<std::vector<NodeId>> outputs;
  if (!to_flag(bound[0], "maximal_fusion", false, maximal_fusion) ||
      !to_optional_node_ids(bound[1], "outputs", outputs))
    return nullptr;
  return run_reduction(self, maximal_fusion, outputs, ReduceResult::StoreAndReport);
} catch (...) {
  return raise_current_exception(type_of(self));
}

PyObject* reduce_fixed_mode(PyObject* self, const Signature& signature, PyObject* const* args,
                            Py_ssize_t nargsf, PyObject* kwnames, ReduceResult result) try {
  Signature::Bound bound;
  if (!signature.bind(args, nargsf, kwnames, bound)) return nullptr;
  std::optional<std::vector<NodeId>> outputs;
  if (!to_optional_node_ids(bound[0], "outputs", outputs)) return nullptr;
  return run_reduction(self, false, outputs, result);
} catch (...) {
  return raise_current_exception(type_of(self));
}

PyObject* reduce_incremental(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                             PyObject* kwnames) {
  static const Signature signature("reduce_incremental", {{"outputs", true}});
  return reduce_fixed_mode(self, signature, args, nargsf, kwnames, ReduceResult::StoreAndReport);
}

PyObject* reduction_report(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                           PyObject* kwnames) {
  static const Signature signature("reduction_report", {{"outputs", true}});
  return reduce_fixed_mode(self, signature, args, nargsf, kwnames, ReduceResult::ReportOnly);
}

PyObject* cone(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) try {
  static const Signature signature("cone", {{"outputs", true, true}});
  Signature::Bound bound;
  if (!signature.bind(args, nargsf, kwnames, bound)) return nullptr;
  std::vector<NodeId> outputs;
  if (!to_node_ids(bound[0], "outputs", outputs)) return nullptr;
  auto result = [&] {
    DetachedWaits waits;
    SignalChecks checks;
    return tarnvel::cone(core(self), outputs);
  }();
  if (!result) return raise_bad_node_id(result.error().id);
  return wrap_store(type_of(self), std::move(*result));
} catch (...) {
  return raise_current_exception(type_of(self));
}

// A new bytes object holding the measured blob, written straight into it.
PyObject* blob_to_py(const BlobWriter& writer) {
  PyObject* bytes = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(writer.size()));
  if (bytes != nullptr) writer.write(PyBytes_AS_STRING(bytes));
  return bytes;
}

PyObject* serialize(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                    PyObject* kwnames) try {
  static const Signature signature("serialize", {{"outputs"}});
  Signature::Bound bound;
  if (!signature.bind(args, nargsf, kwnames, bound)) return nullptr;
  std::optional<std::vector<NodeId>> requested;
  if (!to_optional_node_ids(bound[0], "outputs", requested)) return nullptr;
  auto writer = [&]() -> std::expected<BlobWriter, std::variant<BadNodeId, BlobLimitError>> {
    DetachedWaits waits;
    SignalChecks checks;
    auto outputs = requested_outputs(core(self), std::move(requested));
    if (!outputs) return std::unexpected(outputs.error());
    auto measured = BlobWriter::measure(core(self), *outputs);
    if (!measured) return std::unexpected(measured.error());
    return std::move(*measured);
  }();
  if (!writer) {
    if (const auto* bad = std::get_if<BadNodeId>(&writer.error()))
      return raise_bad_node_id(bad->id);
    PyErr_SetString(PyExc_OverflowError,
                    std::get<BlobLimitError>(writer.error()).message().c_str());
    return nullptr;
  }
  return blob_to_py(*writer);
} catch (...) {
  return raise_current_exception(type_of(self));
}

// Called on the class. Bound as a class method rather than a static one because a static C method
// receives no object from which the module's state (the class to build) could be found.
PyObject* deserialize(PyObject* cls, PyObject* const* args, Py_ssize_t nargsf,
                      PyObject* kwnames) try {
  static const Signature signature("deserialize", {{"data", false, true}});
  PyTypeObject* type = reinterpret_cast<PyTypeObject*>(cls);
  Signature::Bound bound;
  if (!signature.bind(args, nargsf, kwnames, bound)) return nullptr;
  PyObject* data = bound[0];
  if (!PyBytes_Check(data)) {
    PyErr_Format(PyExc_TypeError, "expected bytes, got '%.200s'", Py_TYPE(data)->tp_name);
    add_argument_note("data");
    return nullptr;
  }
  // Bytes are immutable: the view stays valid for the whole read.
  const std::string_view bytes(PyBytes_AS_STRING(data),
                               static_cast<std::size_t>(PyBytes_GET_SIZE(data)));
  auto store = [&] {
    SignalChecks checks;
    return tarnvel::deserialize(bytes);
  }();
  if (!store) {
    PyErr_SetString(PyExc_ValueError, store.error().message().c_str());
    return nullptr;
  }
  return wrap_store(type, std::move(*store));
} catch (...) {
  return raise_current_exception(reinterpret_cast<PyTypeObject*>(cls));
}

// Pickling and copying go through the blob: nodes and marks travel, the node map does not.
PyObject* reduce_for_pickle(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                            PyObject* kwnames) try {
  static const Signature signature("__reduce__", {});
  Signature::Bound bound;
  if (!signature.bind(args, nargsf, kwnames, bound)) return nullptr;
  auto writer = [&] {
    DetachedWaits waits;
    SignalChecks checks;
    return BlobWriter::measure(core(self), core(self).outputs());
  }();
  // A store whose blob would overflow the format cannot be pickled either.
  if (!writer) {
    PyErr_SetString(PyExc_OverflowError, writer.error().message().c_str());
    return nullptr;
  }
  Ref rebuild =
      Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(self)), "deserialize"));
  Ref data = Ref::steal(blob_to_py(*writer));
  if (!rebuild || !data) return nullptr;
  Ref arguments = Ref::steal(PyTuple_Pack(1, data.get()));
  if (!arguments) return nullptr;
  return PyTuple_Pack(2, rebuild.get(), arguments.get());
} catch (...) {
  return raise_current_exception(type_of(self));
}

PyObject* graph_store_repr(PyObject* self) try {
  const auto [nodes, outputs] = [&] {
    DetachedWaits waits;
    return std::pair(core(self).node_count(), core(self).outputs().size());
  }();
  return PyUnicode_FromFormat("<tarnvel_core.GraphStore: %llu node%s, %zu output%s>",
                              static_cast<unsigned long long>(nodes), nodes == 1 ? "" : "s",
                              outputs, outputs == 1 ? "" : "s");
} catch (...) {
  return raise_current_exception(type_of(self));
}

PyObject* graph_store_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) try {
  static const Signature signature("GraphStore", {});
  Signature::Bound bound;
  if (!signature.bind(args, kwargs, bound)) return nullptr;
  return new_object(type, &PyGraphStore::store, std::make_unique<GraphStore>());
} catch (...) {
  return raise_current_exception(type);
}

void graph_store_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  reinterpret_cast<PyGraphStore*>(self)->store.~unique_ptr();
  type->tp_free(self);
  Py_DECREF(type);
}

PyMethodDef methods[] = {
    TARNVEL_METHOD(add_source, "add_source($self, name, params=None)\n--\n\n"),
    TARNVEL_METHOD(add_op, "add_op($self, name, inputs, params=None)\n--\n\n"),
    TARNVEL_METHOD(add_reduction, "add_reduction($self, name, inputs, params=None)\n--\n\n"),
    TARNVEL_METHOD(add_external, "add_external($self, descriptor, inputs, params=None)\n--\n\n"),
    TARNVEL_METHOD(
        add_exchange,
        "add_exchange($self, inputs, params=None)\n--\n\n"
        "Record an `Exchange` boundary. An Exchange has no name: its identity is its scheme\n"
        "parameter map (`params`) plus its one logical input. `nodes()[i][\"kind\"] == "
        "\"exchange\"`."),
    TARNVEL_METHOD(
        add_join,
        "add_join($self, inputs, params=None)\n--\n\n"
        "Record a `Join` boundary with two inputs `[left, right]`. Its identity is its scheme\n"
        "parameter map plus its ordered inputs. `nodes()[i][\"kind\"] == \"join\"`."),
    TARNVEL_METHOD(node_count, "node_count($self)\n--\n\n"),
    TARNVEL_METHOD(nodes,
                   "nodes($self)\n--\n\n"
                   "Structured, read-only view of every node in id order (plan M9: `inspect` "
                   "renders the IR and\n"
                   "`reproduce` interprets it). Each entry is a dict with `id`, `kind`\n"
                   "(source|op|reduction|external|stage), `name`, `params`, `inputs`, `output` "
                   "(bool), plus a\n"
                   "`descriptor` dict for external nodes and `n_members` for stage nodes."),
    TARNVEL_METHOD(node,
                   "node($self, id)\n--\n\n"
                   "The view of node `id` alone: the same dict as `nodes()[id]`, without building "
                   "the others."),
    TARNVEL_METHOD(
        outputs,
        "outputs($self)\n--\n\n"
        "The marked output node ids, in mark order (what an IR evaluator returns, in order)."),
    TARNVEL_METHOD(
        node_map,
        "node_map($self)\n--\n\n"
        "\xc2\xa7"
        "8.2(i): for each node of the arena this store was REDUCED FROM, where it landed here "
        "\xe2\x80\x94\n"
        "`(reduced_node_id, member_index | None)`, or `None` if DCE dropped it. Indexed by that\n"
        "arena's node id. Empty for a store that did not come out of a reduction."),
    TARNVEL_METHOD(to_dot, "to_dot($self)\n--\n\n"),
    TARNVEL_METHOD(
        reduce,
        "reduce($self, *, maximal_fusion=False, outputs=None)\n--\n\n"
        "Reduce via the M4 optimizer (DCE + CSE + equality-saturation stage fusion behind\n"
        "RewriteEngine). Returns the reduced store and a report dict. `maximal_fusion=True` opts "
        "in\n"
        "to fusing fan-out ops whose consumers all land in one stage (the default single-use rule "
        "is\n"
        "pinned by the frozen M4 suite)."),
    TARNVEL_METHOD(reduce_incremental,
                   "reduce_incremental($self, *, outputs=None)\n--\n\n"
                   "One-shot incremental reduction of the current graph (same result as `reduce`). "
                   "For genuine\n"
                   "step-by-step reduction while building, use `IncrementalReducer`."),
    TARNVEL_METHOD(
        reduction_report,
        "reduction_report($self, *, outputs=None)\n--\n\n"
        "The reduction report for the current graph, without keeping the reduced store."),
    TARNVEL_METHOD(
        cone,
        "cone($self, *, outputs)\n--\n\n"
        "opt_level=0 (M6): the 1:1 cone of `outputs` \xe2\x80\x94 DCE without the rewrites "
        "\xe2\x80\x94 as a fresh store\n"
        "marked with `outputs`; its `node_map` sends each kept id to `(cone id, None)`."),
    TARNVEL_METHOD(
        serialize,
        "serialize($self, outputs=None)\n--\n\n"
        "Serialize the IR to the canonical, versioned, byte-identical durable form (plan M8 / "
        "A.3.1:\n"
        "the serializable IR \xe2\x80\x94 not cloudpickle \xe2\x80\x94 is the canonical durable "
        "representation). With\n"
        "`outputs=` the bytes flag EXACTLY that set, ignoring stored marks (M22: outputs are a\n"
        "property of the compile request); the default keeps the marks-based behavior."),
    {"__reduce__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(reduce_for_pickle)),
     METH_FASTCALL | METH_KEYWORDS,
     "__reduce__($self)\n--\n\n"
     "Pickle and copy support through the canonical blob: the nodes and the output marks travel; "
     "the\n"
     "node map, which the blob does not carry, is dropped."},
    {"deserialize", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(deserialize)),
     METH_FASTCALL | METH_KEYWORDS | METH_CLASS,
     "deserialize(data)\n--\n\n"
     "Rebuild a store from canonical bytes. A round trip reproduces the same node ids, so\n"
     "`serialize` of the result is byte-identical to the input (plan M8 determinism gate)."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_doc,
     const_cast<char*>(
         "GraphStore()\n--\n\n"
         "Thread-safe interned graph store. Immutable from Python (interior locking), so it is "
         "safe to\n"
         "share across threads under the GIL and in the free-threaded interpreter. Pickling and\n"
         "copying go through the canonical blob: nodes and output marks are kept, the node map is "
         "dropped.")},
    {Py_tp_new, reinterpret_cast<void*>(graph_store_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(graph_store_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(graph_store_repr)},
    {Py_tp_methods, methods},
    {0, nullptr},
};

PyType_Spec spec = {
    "tarnvel_core.GraphStore",
    sizeof(PyGraphStore),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    slots,
};

}  // namespace

PyType_Spec& graph_store_spec() { return spec; }

std::expected<std::vector<NodeId>, BadNodeId> requested_outputs(
    const GraphStore& store, std::optional<std::vector<NodeId>> requested) {
  if (!requested) return store.outputs();
  // A store only grows: ids valid now stay valid for every later read of it.
  const std::uint64_t count = store.node_count();
  for (NodeId id : *requested) {
    if (id >= count) return std::unexpected(BadNodeId{id});
  }
  return std::move(*requested);
}

PyObject* wrap_store(PyTypeObject* type_of_module, std::unique_ptr<GraphStore> store) {
  return new_object(state_of(type_of_module).graph_store_type, &PyGraphStore::store,
                    std::move(store));
}

}  // namespace tarnvel::python

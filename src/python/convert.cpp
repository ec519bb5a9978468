#include "python/convert.hpp"

#include "absl/container/flat_hash_map.h"
#include "ir/token.hpp"
#include "python/objects.hpp"
#include "support/fault.hpp"

namespace tarnvel::python {
namespace {

// Guards a user container while strong references are copied out of it. In the free-threaded
// build this is the object's critical section; with the GIL nothing inside the guarded loops can
// release it. Inside a guard: no conversions, no Py_DECREF, no C++ lock.
#ifdef Py_GIL_DISABLED
class ObjectGuard {
 public:
  explicit ObjectGuard(PyObject* object) { PyCriticalSection_Begin(&section_, object); }
  ~ObjectGuard() { PyCriticalSection_End(&section_); }
  ObjectGuard(const ObjectGuard&) = delete;
  ObjectGuard& operator=(const ObjectGuard&) = delete;

 private:
  PyCriticalSection section_;
};
#else
class ObjectGuard {
 public:
  explicit ObjectGuard(PyObject*) {}
};
#endif

bool fail_with_note(const char* argument) {
  add_argument_note(argument);
  return false;
}

bool type_error(const char* argument, const char* message) {
  PyErr_SetString(PyExc_TypeError, message);
  return fail_with_note(argument);
}

bool expected_str(PyObject* object, const char* argument) {
  PyErr_Format(PyExc_TypeError, "expected str, got '%.200s'", Py_TYPE(object)->tp_name);
  return fail_with_note(argument);
}

// The conversion failed in a way that means "not this kind of value": try the next kind.
bool clear_if_mismatch() {
  if (!PyErr_ExceptionMatches(PyExc_TypeError) && !PyErr_ExceptionMatches(PyExc_OverflowError))
    return false;
  PyErr_Clear();
  return true;
}

// The UTF-8 bytes of a str, borrowed from it; false with an exception set when it has none (a lone
// surrogate).
bool str_bytes(PyObject* str, std::string_view& out) {
  if (PyUnicode_IS_COMPACT_ASCII(str)) {  // its characters are its UTF-8 bytes
    out = std::string_view(static_cast<const char*>(PyUnicode_DATA(str)),
                           static_cast<std::size_t>(PyUnicode_GET_LENGTH(str)));
    return true;
  }
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(str, &size);
  if (data == nullptr) return false;
  out = std::string_view(data, static_cast<std::size_t>(size));
  return true;
}

bool utf8_of(PyObject* object, const char* argument, std::string_view& out) {
  if (!PyUnicode_Check(object)) return expected_str(object, argument);
  return str_bytes(object, out) || fail_with_note(argument);
}

bool id_of(PyObject* item, NodeId& out) {
  Ref index;
  if (!PyLong_Check(item)) {
    index = Ref::steal(PyNumber_Index(item));
    if (!index) return false;
    item = index.get();
  }
  const unsigned long long value = PyLong_AsUnsignedLongLong(item);
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
  out = value;
  return true;
}

// Fast path for a list or tuple of exact ints: read under the guard without running Python code.
// Returns false (nothing set) when an item is not an exact int, to fall back to the slow path.
template <class Ids>
bool exact_int_items(PyObject* sequence, Ids& out, bool& failed) {
  ObjectGuard guard(sequence);
  const bool is_list = PyList_Check(sequence);
  const Py_ssize_t size = is_list ? PyList_GET_SIZE(sequence) : PyTuple_GET_SIZE(sequence);
  out.clear();
  if (static_cast<std::size_t>(size) > out.capacity()) out.reserve(static_cast<std::size_t>(size));
  for (Py_ssize_t i = 0; i < size; ++i) {
    PyObject* item = is_list ? PyList_GET_ITEM(sequence, i) : PyTuple_GET_ITEM(sequence, i);
    if (!PyLong_CheckExact(item)) return false;
    const unsigned long long value = PyLong_AsUnsignedLongLong(item);  // runs no Python code
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
      failed = true;
      return true;
    }
    out.push_back(value);
  }
  return true;
}

// A private tuple of the sequence's items, safe to read item by item while conversions run code.
// A list or tuple is copied at once; any other sequence is first collected into a list, which is
// valid at every step, since the tuple PySequence_Tuple would fill while the sequence's own code
// runs is reachable (gc.get_objects) with items still null.
PyObject* sequence_snapshot(PyObject* sequence) {
  if (PyList_CheckExact(sequence) || PyTuple_CheckExact(sequence))
    return PySequence_Tuple(sequence);
  Ref items = Ref::steal(PySequence_List(sequence));
  return items ? PyList_AsTuple(items.get()) : nullptr;
}

template <class Ids>
bool node_ids_of(PyObject* object, const char* argument, Ids& out) {
  if (PyUnicode_Check(object))
    return type_error(argument, "expected a sequence of node ids, got str");
  if (PyList_CheckExact(object) || PyTuple_CheckExact(object)) {
    bool failed = false;
    if (exact_int_items(object, out, failed)) return failed ? fail_with_note(argument) : true;
  }
  if (!PySequence_Check(object)) {
    PyErr_Format(PyExc_TypeError, "expected a sequence of node ids, got '%.200s'",
                 Py_TYPE(object)->tp_name);
    return fail_with_note(argument);
  }
  Ref snapshot = Ref::steal(sequence_snapshot(object));
  if (!snapshot) return fail_with_note(argument);
  const Py_ssize_t size = PyTuple_GET_SIZE(snapshot.get());
  out.clear();
  out.reserve(static_cast<std::size_t>(size));
  for (Py_ssize_t i = 0; i < size; ++i) {
    NodeId id = 0;
    if (!id_of(PyTuple_GET_ITEM(snapshot.get(), i), id)) return fail_with_note(argument);
    out.push_back(id);
  }
  return true;
}

// The values whose classification runs no Python code; nothing for any other value (or for an
// exact int outside the signed 64-bit range, or a str that is not valid UTF-8, which leaves an
// exception set for the caller to clear once it may release objects). A Str view borrows from
// `value`.
std::optional<ParamView> exact_param_value(std::string_view key, PyObject* value) {
  if (Py_IS_TYPE(value, &PyBool_Type)) return ParamView::of_bool(key, value == Py_True);
  if (PyLong_CheckExact(value)) {
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(value, &overflow);  // sets no error for an int
    if (overflow != 0) return std::nullopt;
    return ParamView::of_int(key, v);
  }
  if (PyFloat_CheckExact(value)) return ParamView::of_float(key, PyFloat_AS_DOUBLE(value));
  if (PyUnicode_CheckExact(value)) {
    std::string_view text;
    if (!str_bytes(value, text)) return std::nullopt;
    return ParamView::of_str(key, text);
  }
  return std::nullopt;
}

// numpy's bool is no subclass of bool (nor of int); it is known by its type name rather than by
// importing numpy, which the module does not depend on.
bool is_numpy_bool(PyObject* object) {
  const std::string_view name = Py_TYPE(object)->tp_name;
  return name == "numpy.bool" || name == "numpy.bool_";
}

// Classifies one parameter value: bool (numpy's too), then the integer protocol, the float
// protocol, str. A Str view borrows from `value`. False with an exception set when converting the
// value raised, and with none set when the value is of no parameter type.
bool param_value_of(std::string_view key, PyObject* value, std::optional<ParamView>& out) {
  if (Py_IS_TYPE(value, &PyBool_Type)) {
    out = ParamView::of_bool(key, value == Py_True);
    return true;
  }
  if (is_numpy_bool(value)) {
    const int truth = PyObject_IsTrue(value);
    if (truth < 0) return false;
    out = ParamView::of_bool(key, truth != 0);
    return true;
  }
  if (PyLong_Check(value) || PyIndex_Check(value)) {
    Ref index = Ref::steal(PyNumber_Index(value));
    if (index) {
      int overflow = 0;
      const long long v = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
      if (v == -1 && PyErr_Occurred()) return false;
      if (overflow == 0) {
        out = ParamView::of_int(key, v);
        return true;
      }
    } else if (!clear_if_mismatch()) {
      return false;
    }
  }
  if (PyFloat_Check(value)) {
    out = ParamView::of_float(key, PyFloat_AS_DOUBLE(value));
    return true;
  }
  if (!PyUnicode_Check(value)) {
    const double v = PyFloat_AsDouble(value);
    if (!(v == -1.0 && PyErr_Occurred())) {
      out = ParamView::of_float(key, v);
      return true;
    }
    if (!clear_if_mismatch()) return false;
  }
  if (PyUnicode_Check(value)) {
    std::string_view text;
    if (!str_bytes(value, text)) return false;
    out = ParamView::of_str(key, text);
    return true;
  }
  return false;
}

// The TypeError for a value of no parameter type, with a second note naming its key and type.
bool unsupported_param(const char* argument, std::string_view key, PyObject* value) {
  PyErr_SetString(PyExc_TypeError, "param values must be int, float, bool, or str");
  add_argument_note(argument);
  add_note("key '" + std::string(key) + "': " + Py_TYPE(value)->tp_name);
  return false;
}

// Fast path: exact str keys with exact int/float/bool/str values convert without running Python
// code, so they are read under the guard directly. False (with `out` emptied again) when any pair
// needs the general path.
bool exact_param_args(PyObject* dict, ParamArgs& out) {
  bool exact = true;
  {
    ObjectGuard guard(dict);
    const auto size = static_cast<std::size_t>(PyDict_Size(dict));
    if (size > out.views.capacity()) out.views.reserve(size);
    if (2 * size > out.alive.capacity()) out.alive.reserve(2 * size);
    PyObject *key, *value;
    Py_ssize_t pos = 0;
    // Exactly `size` pairs: the dict cannot change under the guard, so the closing call that
    // reports the end is skipped.
    for (std::size_t i = 0; i < size && PyDict_Next(dict, &pos, &key, &value); ++i) {
      std::string_view key_text;
      std::optional<ParamView> view;
      if (PyUnicode_CheckExact(key) && str_bytes(key, key_text))
        view = exact_param_value(key_text, value);
      if (!view) {
        exact = false;
        break;
      }
      out.views.push_back(*view);
      out.alive.push_back(Ref::borrow(key));
      if (view->tag == ParamValue::Tag::Str) out.alive.push_back(Ref::borrow(value));
    }
  }
  if (exact) return true;
  // Outside the guard, since both release objects. A key that is not UTF-8 is reported, with
  // its note, by the general path.
  PyErr_Clear();
  out.views.clear();
  out.alive.clear();
  return false;
}

// A dict value that must be a str when present; absent or None gives nothing.
bool optional_str_item(PyObject* dict, const char* key, const char* argument,
                       std::optional<std::string>& out, bool& present) {
  Ref value;
#if PY_VERSION_HEX >= 0x030D0000
  PyObject* found = nullptr;
  if (PyDict_GetItemStringRef(dict, key, &found) < 0) return fail_with_note(argument);
  value = Ref::steal(found);
#else
  // GIL build only (no free-threaded 3.12): the borrowed value is taken at once. Unlike
  // PyDict_GetItemString, this lookup reports errors raised while comparing keys.
  Ref name = Ref::steal(PyUnicode_FromString(key));
  if (!name) return fail_with_note(argument);
  PyObject* borrowed = PyDict_GetItemWithError(dict, name.get());
  if (borrowed == nullptr && PyErr_Occurred()) return fail_with_note(argument);
  value = Ref::borrow(borrowed);
#endif
  present = static_cast<bool>(value);
  if (!value || value.get() == Py_None) return true;
  std::string_view text;
  if (!utf8_of(value.get(), argument, text)) return false;
  out = std::string(text);
  return true;
}

}  // namespace

bool to_name(PyObject* object, const char* argument, std::string_view& out) {
  return utf8_of(object, argument, out);
}

bool to_string(PyObject* object, const char* argument, std::string& out) {
  std::string_view text;
  if (!utf8_of(object, argument, text)) return false;
  out.assign(text);
  return true;
}

bool to_node_id(PyObject* object, const char* argument, NodeId& out) {
  return id_of(object, out) || fail_with_note(argument);
}

bool to_node_ids(PyObject* object, const char* argument, NodeInputs& out) {
  return node_ids_of(object, argument, out);
}

bool to_node_ids(PyObject* object, const char* argument, std::vector<NodeId>& out) {
  return node_ids_of(object, argument, out);
}

bool to_optional_node_ids(PyObject* object, const char* argument,
                          std::optional<std::vector<NodeId>>& out) {
  out.reset();
  if (object == nullptr || object == Py_None) return true;
  std::vector<NodeId> ids;
  if (!node_ids_of(object, argument, ids)) return false;
  out = std::move(ids);
  return true;
}

bool to_param_args(PyObject* object, const char* argument, ParamArgs& out) {
  check_invariant(out.views.empty() && out.alive.empty(),
                  "parameters converted into a used ParamArgs");
  if (object == nullptr || object == Py_None) return true;
  if (!PyDict_Check(object)) return type_error(argument, "params must be a dict or None");
  if (!exact_param_args(object, out)) {
    // General path: strong references first (conversion may run code that mutates the dict),
    // then each pair; the references keep every borrowed string alive.
    {
      ObjectGuard guard(object);
      out.alive.reserve(2 * static_cast<std::size_t>(PyDict_Size(object)));
      PyObject *key, *value;
      Py_ssize_t pos = 0;
      while (PyDict_Next(object, &pos, &key, &value)) {
        out.alive.push_back(Ref::borrow(key));
        out.alive.push_back(Ref::borrow(value));
      }
    }
    out.views.reserve(out.alive.size() / 2);
    for (std::size_t i = 0; i < out.alive.size(); i += 2) {
      std::string_view key;
      if (!utf8_of(out.alive[i].get(), argument, key)) return false;
      std::optional<ParamView> view;
      PyObject* value = out.alive[i + 1].get();
      if (!param_value_of(key, value, view))
        return PyErr_Occurred() ? fail_with_note(argument)
                                : unsupported_param(argument, key, value);
      out.views.push_back(*view);
    }
  }
  sort_by_key(out.views);
  return true;
}

bool to_param_map(PyObject* object, const char* argument, ParamMap& out) {
  ParamArgs args;
  if (!to_param_args(object, argument, args)) return false;
  out = ParamMap(args.span());
  return true;
}

bool to_descriptor(PyObject* object, const char* argument, const ModuleState& state,
                   PayloadDescriptor& out) {
  if (PyObject_TypeCheck(object, state.payload_descriptor_type)) {
    out = reinterpret_cast<PyPayloadDescriptor*>(object)->value;
    return true;
  }
  if (!PyDict_Check(object)) {
    return type_error(argument, "descriptor must be a PayloadDescriptor or dict");
  }
  PayloadDescriptor descriptor;
  bool present = false;
  if (!optional_str_item(object, "preprocessing_ref", argument, descriptor.preprocessing_ref,
                         present))
    return false;
  const std::pair<const char*, std::string*> required[] = {
      {"kind", &descriptor.kind},           {"content_hash", &descriptor.content_hash},
      {"framework", &descriptor.framework}, {"version", &descriptor.version},
      {"io_schema", &descriptor.io_schema},
  };
  for (const auto& [key, field] : required) {
    std::optional<std::string> value;
    if (!optional_str_item(object, key, argument, value, present)) return false;
    if (!present) {
      PyErr_Format(PyExc_ValueError, "descriptor missing required field '%s'", key);
      return fail_with_note(argument);
    }
    if (!value) return expected_str(Py_None, argument);
    *field = std::move(*value);
  }
  out = std::move(descriptor);
  return true;
}

bool to_flag(PyObject* object, const char* argument, bool fallback, bool& out) {
  if (object == nullptr) {
    out = fallback;
    return true;
  }
  if (PyBool_Check(object)) {
    out = object == Py_True;
    return true;
  }
  // By type, not by truthiness, so that an int or a str is still refused.
  if (is_numpy_bool(object)) {
    const int truth = PyObject_IsTrue(object);
    if (truth < 0) return fail_with_note(argument);
    out = truth != 0;
    return true;
  }
  PyErr_Format(PyExc_TypeError, "expected bool, got '%.200s'", Py_TYPE(object)->tp_name);
  return fail_with_note(argument);
}

// Results are built so that no Python code ever reaches a partly built object of ours. Code can run
// in the middle of a build: a signal check (note_work) runs signal handlers, and an allocation may
// start a collection (3.11), as a signal check may (3.12+), which runs finalizers and gc callbacks;
// any of them can walk gc.get_objects(). So every list and dict of a result stays untracked by the
// collector, and with that out of sight, until the whole result is complete.
namespace {

// The containers of one result, hidden from the collector until `show`. Nothing but the result
// refers to them, so while untracked they are out of every Python code's reach; and the
// collections that run while the result grows do not traverse them again and again.
class Unseen {
 public:
  // Hides `container` (null passes through).
  Ref hide(PyObject* container) {
    Ref owned = Ref::steal(container);
    if (!owned) return owned;
    if (PyObject_GC_IsTracked(container)) PyObject_GC_UnTrack(container);
    hidden_.push_back(container);
    return owned;
  }
  // A new, hidden list of `size` items, each to be set once with PyList_SET_ITEM.
  Ref list(std::size_t size) { return hide(PyList_New(static_cast<Py_ssize_t>(size))); }
  // Hands every hidden container to the collector. REQUIRES: the result is complete and alive.
  void show() {
    for (PyObject* container : hidden_) {
      if (!PyObject_GC_IsTracked(container)) PyObject_GC_Track(container);
    }
    hidden_.clear();
  }

 private:
  absl::InlinedVector<PyObject*, 4> hidden_;  // borrowed: the result owns them
};

void set_item(PyObject* list, std::size_t i, PyObject* item) {
  PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), item);
}

// A new tuple of two atomic values (ints, str, None), which it takes over; null (both released)
// when either is null. It holds nothing the collector follows, so it is never tracked, as the
// collector would leave it anyway.
PyObject* atomic_pair(PyObject* first, PyObject* second) {
  Ref a = Ref::steal(first), b = Ref::steal(second);
  if (!a || !b) return nullptr;
  PyObject* tuple = PyTuple_New(2);
  if (tuple == nullptr) return nullptr;
  PyTuple_SET_ITEM(tuple, 0, a.release());
  PyTuple_SET_ITEM(tuple, 1, b.release());
  PyObject_GC_UnTrack(tuple);
  return tuple;
}

Ref str_to_py(std::string_view text) {
  return Ref::steal(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

PyObject* param_value_to_py(const ParamValue& value) {
  switch (value.tag()) {
    case ParamValue::Tag::Int: return PyLong_FromLongLong(value.as_int());
    case ParamValue::Tag::Float: return PyFloat_FromDouble(value.as_float());
    case ParamValue::Tag::Bool: return Py_NewRef(value.as_bool() ? Py_True : Py_False);
    case ParamValue::Tag::Str: return str_to_py(value.as_str()).release();
  }
  return nullptr;
}

// str values only: never tracked either.
PyObject* descriptor_to_py(const PayloadDescriptor& d) {
  return Py_BuildValue(
      "{s:s#,s:s#,s:s#,s:s#,s:s#,s:N}", "kind", d.kind.data(),
      static_cast<Py_ssize_t>(d.kind.size()), "content_hash", d.content_hash.data(),
      static_cast<Py_ssize_t>(d.content_hash.size()), "framework", d.framework.data(),
      static_cast<Py_ssize_t>(d.framework.size()), "version", d.version.data(),
      static_cast<Py_ssize_t>(d.version.size()), "io_schema", d.io_schema.data(),
      static_cast<Py_ssize_t>(d.io_schema.size()), "preprocessing_ref",
      d.preprocessing_ref ? str_to_py(*d.preprocessing_ref).release() : Py_NewRef(Py_None));
}

}  // namespace

PyObject* ids_to_py(std::span<const NodeId> ids) {
  Unseen unseen;
  Ref list = unseen.list(ids.size());
  if (!list) return nullptr;
  for (std::size_t i = 0; i < ids.size(); ++i) {
    PyObject* id = PyLong_FromUnsignedLongLong(ids[i]);
    if (id == nullptr) return nullptr;
    set_item(list.get(), i, id);
  }
  unseen.show();
  return list.release();
}

PyObject* node_map_to_py(std::span<const NodeMapEntry> node_map) {
  Unseen unseen;
  Ref list = unseen.list(node_map.size());
  if (!list) return nullptr;
  for (std::size_t i = 0; i < node_map.size(); ++i) {
    PyObject* entry;
    if (!node_map[i]) {
      entry = Py_NewRef(Py_None);
    } else {
      const Landing landing = *node_map[i];
      entry = atomic_pair(
          PyLong_FromUnsignedLongLong(landing.node),
          landing.member ? PyLong_FromUnsignedLongLong(*landing.member) : Py_NewRef(Py_None));
    }
    if (entry == nullptr) return nullptr;
    set_item(list.get(), i, entry);
  }
  unseen.show();
  return list.release();
}

namespace {

constexpr std::array<const char*, 6> kReportKeys = {"input_nodes",     "reachable_nodes",
                                                    "canonical_nodes", "stages",
                                                    "reduced_nodes",   "boundary_nodes"};

}  // namespace

PyObject* report_template() {
  Ref dict = Ref::steal(PyDict_New());
  if (!dict) return nullptr;
  for (const char* key : kReportKeys) {
    Ref name = Ref::steal(PyUnicode_InternFromString(key));
    if (!name || PyDict_SetItem(dict.get(), name.get(), Py_None) < 0) return nullptr;
  }
  return dict.release();
}

PyObject* report_to_py(const ReductionReport& r, PyObject* report_template) {
  const std::array<std::uint64_t, kReportKeys.size()> counts = {
      r.input_nodes, r.reachable_nodes, r.canonical_nodes,
      r.stages,      r.reduced_nodes,   r.boundary_nodes};
  // int values only: the dict is never tracked by the collector.
  Ref dict = Ref::steal(PyDict_Copy(report_template));
  if (!dict) return nullptr;
  // The template's keys come in its order (it never changes); setting a key the copy holds keeps
  // that order.
  Py_ssize_t position = 0;
  PyObject* key = nullptr;
  PyObject* unset = nullptr;
  for (std::size_t i = 0; PyDict_Next(report_template, &position, &key, &unset) != 0; ++i) {
    Ref number = Ref::steal(PyLong_FromUnsignedLongLong(counts.at(i)));
    if (!number || PyDict_SetItem(dict.get(), key, number.get()) < 0) return nullptr;
  }
  return dict.release();
}

namespace {

// Makes node-view dicts into one result. What a dict shares with every node of its operator
// (kind, name, params, descriptor, members) is converted for the operator's first node only, and
// copied from that node's own dicts and lists for every later one: the result is unseen until it
// is complete, so nothing changes them meanwhile. Texts that recur (names, param keys) are one
// str each, and the id objects made for the "id" entries serve again as later nodes' inputs.
class NodeViewBuilder {
 public:
  // False with an exception set when the keys cannot be made.
  bool start() {
    static constexpr std::array<const char*, kKeyCount> names = {
        "id", "output", "inputs", "kind", "name", "params", "descriptor", "n_members", "members"};
    for (std::size_t i = 0; i < kKeyCount; ++i) {
      keys_[i] = Ref::steal(PyUnicode_InternFromString(names[i]));
      if (!keys_[i]) return false;
    }
    return true;
  }

  // Ids 0 to count - 1 will be made here in order: each is kept for later nodes' inputs.
  void expect_ids(std::size_t count) { ids_.reserve(count); }

  // The node's dict, hidden in `unseen`; null with an exception set on failure (an unparseable
  // stage member token).
  Ref node(NodeId id, const NodeRef& node, bool is_output, Unseen& unseen) {
    const OpId op = node.op_id();
    if (op >= parts_.size()) parts_.resize(std::size_t{op} + 1);
    OperatorParts& parts = parts_[op];
    const bool first = parts.params == nullptr;
    if (first) {
      parts.kind = text(kind_name(node.kind()));
      parts.name = text(node.name());
      if (parts.kind == nullptr || parts.name == nullptr) return Ref();
    }
    Ref id_object = Ref::steal(PyLong_FromUnsignedLongLong(id));
    if (!id_object) return Ref();
    if (ids_.size() == id && ids_.size() < ids_.capacity())
      ids_.push_back(Ref::borrow(id_object.get()));
    Ref inputs = inputs_of(node.inputs(), unseen);
    Ref params = Ref::steal(first ? params_of(node.params()) : PyDict_Copy(parts.params));
    if (!inputs || !params) return Ref();
    if (first) parts.params = params.get();
    std::array<PyObject*, 8> values = {id_object.get(), is_output ? Py_True : Py_False,
                                       inputs.get(),    parts.kind,
                                       parts.name,      params.get(),
                                       nullptr,         nullptr};
    Ref descriptor, members;
    switch (node.kind()) {
      case NodeKind::External:
        descriptor =
            Ref::steal(first ? descriptor_to_py(node.descriptor()) : PyDict_Copy(parts.descriptor));
        if (!descriptor) return Ref();
        if (first) parts.descriptor = descriptor.get();
        values[6] = descriptor.get();
        return dict_of(kNodeKeys, {values.data(), 7}, unseen);
      case NodeKind::Stage:
        members = first ? first_members(node, parts, unseen) : copy_members(parts, unseen);
        if (!members) return Ref();
        values[6] = parts.n_members.get();
        values[7] = members.get();
        return dict_of(kStageKeys, {values.data(), 8}, unseen);
      default: return dict_of(kNodeKeys, {values.data(), 6}, unseen);
    }
  }

 private:
  enum Key : std::uint8_t {
    kId,
    kOutput,
    kInputs,
    kKind,
    kName,
    kParams,
    kDescriptor,
    kMemberCount,
    kMembers,
    kKeyCount
  };
  // The keys in a dict's order: a node's (and an External's, which adds its descriptor), a
  // Stage's, and a member's.
  static constexpr std::array<Key, 7> kNodeKeys = {kId,   kOutput, kInputs,    kKind,
                                                   kName, kParams, kDescriptor};
  static constexpr std::array<Key, 8> kStageKeys = {kId,   kOutput, kInputs,      kKind,
                                                    kName, kParams, kMemberCount, kMembers};
  static constexpr std::array<Key, 4> kMemberKeys = {kKind, kName, kParams, kInputs};

  // A member of an operator's first Stage node: its dict, that dict's params and its inputs list
  // of ("input" | "member", index) tuples, which are immutable and so shared by every copy.
  struct MemberParts {
    PyObject* dict;
    PyObject* params;
    PyObject* refs;
  };
  // Borrowed pointers name the texts (owned by texts_) and the first node's own objects (owned by
  // the result, which outlives the builder's use of them).
  struct OperatorParts {
    PyObject* kind = nullptr;
    PyObject* name = nullptr;
    PyObject* params = nullptr;  // null until the operator's first node is made
    PyObject* descriptor = nullptr;
    Ref n_members;
    std::vector<MemberParts> members;
  };

  // The one str of this text (borrowed); null with an exception set when it cannot be made.
  PyObject* text(std::string_view bytes) {
    // Abseil's own string_view: Debian builds Abseil with it, for heterogeneous lookup.
    const absl::string_view key(bytes.data(), bytes.size());
    if (const auto found = texts_.find(key); found != texts_.end()) return found->second.get();
    Ref made = str_to_py(bytes);
    if (!made) return nullptr;
    return texts_.emplace(std::string(bytes), std::move(made)).first->second.get();
  }

  // Params hold str keys and atomic values only, so the dict is never tracked by the collector.
  PyObject* params_of(const ParamMap& params) {
    Ref dict = Ref::steal(PyDict_New());
    if (!dict) return nullptr;
    for (const Param& param : params) {
      PyObject* key = text(param.key.view());
      Ref value = Ref::steal(param.value.tag() == ParamValue::Tag::Str
                                 ? Py_XNewRef(text(param.value.as_str()))
                                 : param_value_to_py(param.value));
      if (key == nullptr || !value || PyDict_SetItem(dict.get(), key, value.get()) < 0)
        return nullptr;
    }
    return dict.release();
  }

  // A new dict of the first values.size() keys of `order` and these values, hidden. It starts as
  // a copy of a template with those keys, made once, which sizes its table at once; each value
  // then replaces a None.
  Ref dict_of(std::span<const Key> order, std::span<PyObject* const> values, Unseen& unseen) {
    Ref& shape = templates_[values.size() == 4 ? 0 : values.size() - 5];
    if (!shape) {
      shape = Ref::steal(PyDict_New());
      if (!shape) return Ref();
      for (std::size_t i = 0; i < values.size(); ++i) {
        if (PyDict_SetItem(shape.get(), keys_[order[i]].get(), Py_None) < 0) return Ref();
      }
    }
    Ref dict = unseen.hide(PyDict_Copy(shape.get()));
    if (!dict || !set_values(dict.get(), order, values)) return Ref();
    return dict;
  }

  // Sets the values of the first values.size() keys of `order`, which `dict` holds already.
  bool set_values(PyObject* dict, std::span<const Key> order, std::span<PyObject* const> values) {
    for (std::size_t i = 0; i < values.size(); ++i) {
      if (PyDict_SetItem(dict, keys_[order[i]].get(), values[i]) < 0) return false;
    }
    // Storing a list tracked the dict again.
    PyObject_GC_UnTrack(dict);
    return true;
  }

  Ref inputs_of(std::span<const std::uint32_t> inputs, Unseen& unseen) {
    Ref list = unseen.list(inputs.size());
    if (!list) return Ref();
    for (std::size_t i = 0; i < inputs.size(); ++i) {
      PyObject* input = inputs[i] < ids_.size() ? Py_NewRef(ids_[inputs[i]].get())
                                                : PyLong_FromUnsignedLongLong(inputs[i]);
      if (input == nullptr) return Ref();
      set_item(list.get(), i, input);
    }
    return list;
  }

  // The members list of an operator's first Stage node, converted, with what later copies read
  // recorded in `parts`.
  Ref first_members(const NodeRef& node, OperatorParts& parts, Unseen& unseen) {
    const std::span<const StageOp> members = node.members();
    parts.n_members = Ref::steal(PyLong_FromSize_t(members.size()));
    Ref list = unseen.list(members.size());
    if (!parts.n_members || !list) return Ref();
    parts.members.reserve(members.size());
    for (std::size_t i = 0; i < members.size(); ++i) {
      const StageOp& member = members[i];
      const TokenParts* token = member_parts(member, node.ops());
      if (token == nullptr) return Ref();
      Ref refs = unseen.list(member.refs.size());
      Ref params = Ref::steal(PyDict_Copy(token->params.get()));
      if (!refs || !params) return Ref();
      for (std::size_t r = 0; r < member.refs.size(); ++r) {
        PyObject* tuple = ref_tuple(member.refs[r]);
        if (tuple == nullptr) return Ref();
        set_item(refs.get(), r, tuple);
      }
      const std::array<PyObject*, 4> values = {token->kind, token->name, params.get(), refs.get()};
      Ref dict = dict_of(kMemberKeys, values, unseen);
      if (!dict) return Ref();
      parts.members.push_back({dict.get(), params.get(), refs.get()});
      set_item(list.get(), i, dict.release());
    }
    return list;
  }

  // A member's kind (its token's field), name and params, made once per operator or, for a member
  // named by text, once per text: the members of many Stage operators share them. Null with an
  // exception set for a text that does not parse.
  struct TokenParts {
    PyObject* kind;  // borrowed from texts_
    PyObject* name;
    Ref params;  // copied for each member
  };
  const TokenParts* member_parts(const StageOp& member, const OperatorTable::View& ops) {
    const OpId* id = member.id();
    if (id == nullptr) return token_parts(member.text()->view());
    if (const auto found = operators_.find(*id); found != operators_.end()) return &found->second;
    const NodeKey& op = ops[*id];
    TokenParts parts{text(token_kind(op.kind())), text(op.name()),
                     Ref::steal(params_of(op.params()))};
    if (parts.kind == nullptr || parts.name == nullptr || !parts.params) return nullptr;
    return &operators_.emplace(*id, std::move(parts)).first->second;
  }
  const TokenParts* token_parts(std::string_view token) {
    const absl::string_view key(token.data(), token.size());
    if (const auto found = tokens_.find(key); found != tokens_.end()) return &found->second;
    auto parsed = parse_op_token(token);
    if (!parsed) {
      const std::string quoted = ParamValue::of_str(token).display();
      PyErr_Format(PyExc_ValueError, "unparseable stage member token %s", quoted.c_str());
      return nullptr;
    }
    TokenParts parts{text(parsed->kind), text(parsed->name), Ref::steal(params_of(parsed->params))};
    if (parts.kind == nullptr || parts.name == nullptr || !parts.params) return nullptr;
    return &tokens_.emplace(std::string(token), std::move(parts)).first->second;
  }

  // A new reference to the ("input" | "member", index) tuple of `ref`: immutable, so one tuple of
  // a small index serves every member that reads it.
  PyObject* ref_tuple(const StageRef& ref) {
    const bool input = ref.tag == StageRef::Tag::Input;
    const auto make = [&]() -> PyObject* {
      PyObject* tag = text(input ? "input" : "member");
      return tag == nullptr ? nullptr
                            : atomic_pair(Py_NewRef(tag), PyLong_FromUnsignedLongLong(ref.index));
    };
    if (ref.index >= kSharedRefTuples) return make();
    std::vector<Ref>& shared = ref_tuples_[input ? 0 : 1];
    if (ref.index >= shared.size()) shared.resize(std::size_t{ref.index} + 1);
    Ref& tuple = shared[ref.index];
    if (!tuple) tuple = Ref::steal(make());
    return Py_XNewRef(tuple.get());
  }
  static constexpr std::uint32_t kSharedRefTuples = 4096;

  // A fresh list of fresh member dicts: one node's view may be changed without touching another's.
  Ref copy_members(const OperatorParts& parts, Unseen& unseen) {
    Ref list = unseen.list(parts.members.size());
    if (!list) return Ref();
    for (std::size_t i = 0; i < parts.members.size(); ++i) {
      const MemberParts& member = parts.members[i];
      const std::size_t ref_count = static_cast<std::size_t>(PyList_GET_SIZE(member.refs));
      Ref refs = unseen.list(ref_count);
      Ref params = Ref::steal(PyDict_Copy(member.params));
      Ref dict = unseen.hide(PyDict_Copy(member.dict));
      if (!refs || !params || !dict) return Ref();
      for (std::size_t r = 0; r < ref_count; ++r)
        set_item(refs.get(), r,
                 Py_NewRef(PyList_GET_ITEM(member.refs, static_cast<Py_ssize_t>(r))));
      const std::array<PyObject*, 2> values = {params.get(), refs.get()};
      if (!set_values(dict.get(), kCopiedMemberKeys, values)) return Ref();
      set_item(list.get(), i, dict.release());
    }
    return list;
  }
  // What a copied member dict gets anew; its kind and name are the template's.
  static constexpr std::array<Key, 2> kCopiedMemberKeys = {kParams, kInputs};

  std::array<Ref, kKeyCount> keys_;
  // Dicts of None values with the keys of a member (4 keys), a node (6), an External (7) and a
  // Stage (8), in their order.
  std::array<Ref, 4> templates_;
  absl::flat_hash_map<std::string, Ref> texts_;  // lookups only: never iterated
  absl::flat_hash_map<std::string, TokenParts> tokens_;  // lookups only: never iterated
  absl::flat_hash_map<OpId, TokenParts> operators_;  // lookups only: never iterated
  std::array<std::vector<Ref>, 2> ref_tuples_;  // ("input", i), ("member", i) by i
  std::vector<OperatorParts> parts_;  // by operator id
  std::vector<Ref> ids_;  // the id objects made so far, by id
};

}  // namespace

Ref node_to_py(NodeId id, const NodeRef& node, bool is_output) {
  NodeViewBuilder builder;
  Unseen unseen;
  if (!builder.start()) return Ref();
  Ref dict = builder.node(id, node, is_output, unseen);
  if (dict) unseen.show();
  return dict;
}

PyObject* node_view_to_py(const GraphStore::View& view) {
  std::vector<bool> is_output(view.nodes.size(), false);
  for (NodeId id : view.outputs) is_output[id] = true;
  NodeViewBuilder builder;
  Unseen unseen;
  if (!builder.start()) return nullptr;
  builder.expect_ids(view.nodes.size());
  Ref list = unseen.list(view.nodes.size());
  if (!list) return nullptr;
  for (std::size_t i = 0; i < view.nodes.size(); ++i) {
    note_work(8);  // a node's dict and its values
    Ref node = builder.node(i, view.nodes[i], is_output[i], unseen);
    if (!node) return nullptr;
    set_item(list.get(), i, node.release());
  }
  unseen.show();
  return list.release();
}

}  // namespace tarnvel::python

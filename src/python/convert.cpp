#include "python/convert.hpp"

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
  Ref snapshot = Ref::steal(PySequence_Tuple(object));  // private: safe to read item by item
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
// exact int outside the signed 64-bit range, or a str that is not valid UTF-8). A Str view
// borrows from `value`.
std::optional<ParamView> exact_param_value(std::string_view key, PyObject* value) {
  if (Py_IS_TYPE(value, &PyBool_Type)) return ParamView::of_bool(key, value == Py_True);
  if (PyLong_CheckExact(value)) {
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (overflow != 0 || (v == -1 && PyErr_Occurred())) {
      PyErr_Clear();
      return std::nullopt;
    }
    return ParamView::of_int(key, v);
  }
  if (PyFloat_CheckExact(value)) return ParamView::of_float(key, PyFloat_AS_DOUBLE(value));
  if (PyUnicode_CheckExact(value)) {
    std::string_view text;
    if (!str_bytes(value, text)) {
      PyErr_Clear();
      return std::nullopt;
    }
    return ParamView::of_str(key, text);
  }
  return std::nullopt;
}

// Classifies one parameter value: bool, then the integer protocol, the float protocol, str. A Str
// view borrows from `value`.
bool param_value_of(std::string_view key, PyObject* value, std::optional<ParamView>& out) {
  if (Py_IS_TYPE(value, &PyBool_Type)) {
    out = ParamView::of_bool(key, value == Py_True);
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
  PyErr_SetString(PyExc_TypeError, "param values must be int, float, bool, or str");
  return false;
}

// Fast path: exact str keys with exact int/float/bool/str values convert without running Python
// code, so they are read under the guard directly. False (with `out` emptied again) when any pair
// needs the general path.
bool exact_param_args(PyObject* dict, ParamArgs& out) {
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
      PyErr_Clear();  // a key that is not UTF-8: the general path reports it with its note
      out.views.clear();
      out.alive.clear();
      return false;
    }
    out.views.push_back(*view);
    out.alive.push_back(Ref::borrow(key));
    if (view->tag == ParamValue::Tag::Str) out.alive.push_back(Ref::borrow(value));
  }
  return true;
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
      if (!param_value_of(key, out.alive[i + 1].get(), view)) return fail_with_note(argument);
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
  // numpy.bool_ is not a bool subclass; accept it by its type name rather than by truthiness, so
  // that an int or a str is still refused.
  const char* name = Py_TYPE(object)->tp_name;
  if (std::string_view(name) == "numpy.bool" || std::string_view(name) == "numpy.bool_") {
    const int truth = PyObject_IsTrue(object);
    if (truth < 0) return fail_with_note(argument);
    out = truth != 0;
    return true;
  }
  PyErr_Format(PyExc_TypeError, "expected bool, got '%.200s'", name);
  return fail_with_note(argument);
}

PyObject* params_to_py(const ParamMap& params) {
  Ref dict = Ref::steal(PyDict_New());
  if (!dict) return nullptr;
  for (const Param& param : params) {
    Ref key = Ref::steal(PyUnicode_FromStringAndSize(param.key.view().data(),
                                                     static_cast<Py_ssize_t>(param.key.size())));
    if (!key) return nullptr;
    Ref value;
    switch (param.value.tag()) {
      case ParamValue::Tag::Int:
        value = Ref::steal(PyLong_FromLongLong(param.value.as_int()));
        break;
      case ParamValue::Tag::Float:
        value = Ref::steal(PyFloat_FromDouble(param.value.as_float()));
        break;
      case ParamValue::Tag::Bool:
        value = Ref::borrow(param.value.as_bool() ? Py_True : Py_False);
        break;
      case ParamValue::Tag::Str: {
        const std::string_view text = param.value.as_str();
        value = Ref::steal(
            PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
        break;
      }
    }
    if (!value || PyDict_SetItem(dict.get(), key.get(), value.get()) < 0) return nullptr;
  }
  return dict.release();
}

namespace {

template <class Id>
PyObject* id_list_to_py(std::span<const Id> ids) {
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(ids.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < ids.size(); ++i) {
    PyObject* id = PyLong_FromUnsignedLongLong(ids[i]);
    if (id == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), id);  // our own new list
  }
  return list.release();
}

}  // namespace

PyObject* ids_to_py(std::span<const NodeId> ids) { return id_list_to_py(ids); }
PyObject* ids_to_py(std::span<const std::uint32_t> ids) { return id_list_to_py(ids); }

PyObject* node_map_to_py(std::span<const NodeMapEntry> node_map) {
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(node_map.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < node_map.size(); ++i) {
    PyObject* entry;
    if (!node_map[i]) {
      entry = Py_NewRef(Py_None);
    } else if (node_map[i]->member) {
      entry = Py_BuildValue("(KK)", static_cast<unsigned long long>(node_map[i]->node),
                            static_cast<unsigned long long>(*node_map[i]->member));
    } else {
      entry = Py_BuildValue("(KO)", static_cast<unsigned long long>(node_map[i]->node), Py_None);
    }
    if (entry == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), entry);
  }
  return list.release();
}

PyObject* descriptor_to_py(const PayloadDescriptor& d) {
  if (d.preprocessing_ref) {
    return Py_BuildValue(
        "{s:s#,s:s#,s:s#,s:s#,s:s#,s:s#}", "kind", d.kind.data(),
        static_cast<Py_ssize_t>(d.kind.size()), "content_hash", d.content_hash.data(),
        static_cast<Py_ssize_t>(d.content_hash.size()), "framework", d.framework.data(),
        static_cast<Py_ssize_t>(d.framework.size()), "version", d.version.data(),
        static_cast<Py_ssize_t>(d.version.size()), "io_schema", d.io_schema.data(),
        static_cast<Py_ssize_t>(d.io_schema.size()), "preprocessing_ref",
        d.preprocessing_ref->data(), static_cast<Py_ssize_t>(d.preprocessing_ref->size()));
  }
  return Py_BuildValue("{s:s#,s:s#,s:s#,s:s#,s:s#,s:O}", "kind", d.kind.data(),
                       static_cast<Py_ssize_t>(d.kind.size()), "content_hash",
                       d.content_hash.data(), static_cast<Py_ssize_t>(d.content_hash.size()),
                       "framework", d.framework.data(), static_cast<Py_ssize_t>(d.framework.size()),
                       "version", d.version.data(), static_cast<Py_ssize_t>(d.version.size()),
                       "io_schema", d.io_schema.data(), static_cast<Py_ssize_t>(d.io_schema.size()),
                       "preprocessing_ref", Py_None);
}

PyObject* report_to_py(const ReductionReport& r) {
  return Py_BuildValue("{s:K,s:K,s:K,s:K,s:K,s:K}", "input_nodes",
                       static_cast<unsigned long long>(r.input_nodes), "reachable_nodes",
                       static_cast<unsigned long long>(r.reachable_nodes), "canonical_nodes",
                       static_cast<unsigned long long>(r.canonical_nodes), "stages",
                       static_cast<unsigned long long>(r.stages), "reduced_nodes",
                       static_cast<unsigned long long>(r.reduced_nodes), "boundary_nodes",
                       static_cast<unsigned long long>(r.boundary_nodes));
}

namespace {

bool set_item(PyObject* dict, const char* key, Ref value) {
  return value && PyDict_SetItemString(dict, key, value.get()) == 0;
}

Ref str_to_py(std::string_view text) {
  return Ref::steal(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

Ref member_to_py(const StageOp& member) {
  auto parsed = parse_op_token(member.token);
  if (!parsed) {
    const std::string quoted = ParamValue::of_str(member.token).display();
    PyErr_Format(PyExc_ValueError, "unparseable stage member token %s", quoted.c_str());
    return Ref();
  }
  Ref refs = Ref::steal(PyList_New(static_cast<Py_ssize_t>(member.refs.size())));
  if (!refs) return Ref();
  for (std::size_t i = 0; i < member.refs.size(); ++i) {
    const StageRef& ref = member.refs[i];
    PyObject* item = Py_BuildValue("(sK)", ref.tag == StageRef::Tag::Input ? "input" : "member",
                                   static_cast<unsigned long long>(ref.index));
    if (item == nullptr) return Ref();
    PyList_SET_ITEM(refs.get(), static_cast<Py_ssize_t>(i), item);
  }
  Ref dict = Ref::steal(PyDict_New());
  if (!dict || !set_item(dict.get(), "kind", str_to_py(parsed->kind)) ||
      !set_item(dict.get(), "name", str_to_py(parsed->name)) ||
      !set_item(dict.get(), "params", Ref::steal(params_to_py(parsed->params))) ||
      !set_item(dict.get(), "inputs", std::move(refs)))
    return Ref();
  return dict;
}

}  // namespace

Ref node_to_py(NodeId id, const NodeRef& node, bool is_output) {
  Ref dict = Ref::steal(PyDict_New());
  if (!dict || !set_item(dict.get(), "id", Ref::steal(PyLong_FromUnsignedLongLong(id))) ||
      !set_item(dict.get(), "output", Ref::borrow(is_output ? Py_True : Py_False)) ||
      !set_item(dict.get(), "inputs", Ref::steal(ids_to_py(node.inputs()))) ||
      !set_item(dict.get(), "kind", str_to_py(kind_name(node.kind()))) ||
      !set_item(dict.get(), "name", str_to_py(node.name())) ||
      !set_item(dict.get(), "params", Ref::steal(params_to_py(node.params()))))
    return Ref();
  if (node.kind() == NodeKind::External &&
      !set_item(dict.get(), "descriptor", Ref::steal(descriptor_to_py(node.descriptor()))))
    return Ref();
  if (node.kind() == NodeKind::Stage) {
    const auto members = node.members();
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(members.size())));
    if (!list) return Ref();
    for (std::size_t i = 0; i < members.size(); ++i) {
      Ref member = member_to_py(members[i]);
      if (!member) return Ref();
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), member.release());
    }
    if (!set_item(dict.get(), "n_members", Ref::steal(PyLong_FromSize_t(members.size()))) ||
        !set_item(dict.get(), "members", std::move(list)))
      return Ref();
  }
  return dict;
}

PyObject* node_view_to_py(const GraphStore::View& view) {
  std::vector<bool> is_output(view.nodes.size(), false);
  for (NodeId id : view.outputs) is_output[id] = true;
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(view.nodes.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < view.nodes.size(); ++i) {
    note_work(8);  // a node's dict and its values
    Ref node = node_to_py(i, view.nodes[i], is_output[i]);
    if (!node) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), node.release());
  }
  return list.release();
}

}  // namespace tarnvel::python

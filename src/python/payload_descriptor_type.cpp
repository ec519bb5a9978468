// The Python class PayloadDescriptor: an immutable value. Equality, hashing, repr and pickling all
// follow its six fields.
#include <iterator>

#include "python/convert.hpp"
#include "python/objects.hpp"

namespace tarnvel::python {
namespace {

const PayloadDescriptor& value_of(PyObject* self) {
  return reinterpret_cast<PyPayloadDescriptor*>(self)->value;
}

PyObject* str_of(const std::string& text) {
  return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

PyObject* get_kind(PyObject* self, void*) { return str_of(value_of(self).kind); }
PyObject* get_content_hash(PyObject* self, void*) { return str_of(value_of(self).content_hash); }
PyObject* get_framework(PyObject* self, void*) { return str_of(value_of(self).framework); }
PyObject* get_version(PyObject* self, void*) { return str_of(value_of(self).version); }
PyObject* get_io_schema(PyObject* self, void*) { return str_of(value_of(self).io_schema); }
PyObject* get_preprocessing_ref(PyObject* self, void*) {
  const auto& ref = value_of(self).preprocessing_ref;
  return ref ? str_of(*ref) : Py_NewRef(Py_None);
}

// The fields in the constructor's keyword order; the value semantics below walk this table.
PyGetSetDef getset[] = {
    {"kind", get_kind, nullptr, nullptr, nullptr},
    {"content_hash", get_content_hash, nullptr, nullptr, nullptr},
    {"framework", get_framework, nullptr, nullptr, nullptr},
    {"version", get_version, nullptr, nullptr, nullptr},
    {"io_schema", get_io_schema, nullptr, nullptr, nullptr},
    {"preprocessing_ref", get_preprocessing_ref, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};
constexpr Py_ssize_t kFields = std::size(getset) - 1;
static_assert(kFields == 6, "fields_of packs six values");

// The six field values (str, or None for an absent preprocessing_ref) as a new tuple, made once
// they all exist.
PyObject* fields_of(PyObject* self) {
  Ref values[kFields];
  for (Py_ssize_t i = 0; i < kFields; ++i) {
    values[i] = Ref::steal(getset[i].get(self, nullptr));
    if (!values[i]) return nullptr;
  }
  return PyTuple_Pack(kFields, values[0].get(), values[1].get(), values[2].get(), values[3].get(),
                      values[4].get(), values[5].get());
}

// Equal exactly when all six fields are; no order.
PyObject* payload_descriptor_richcompare(PyObject* self, PyObject* other, int op) {
  if ((op != Py_EQ && op != Py_NE) || !PyObject_TypeCheck(other, Py_TYPE(self)))
    Py_RETURN_NOTIMPLEMENTED;
  const bool equal = value_of(self) == value_of(other);
  return PyBool_FromLong(equal == (op == Py_EQ));
}

// The hash of the tuple of fields: equal descriptors hash alike. Recomputed on every call rather
// than cached, so the object holds no mutable state.
Py_hash_t payload_descriptor_hash(PyObject* self) {
  Ref fields = Ref::steal(fields_of(self));
  return fields ? PyObject_Hash(fields.get()) : -1;
}

// PayloadDescriptor(kind='onnx', ...): evaluates back to an equal descriptor.
PyObject* payload_descriptor_repr(PyObject* self) {
  Ref fields = Ref::steal(fields_of(self));
  Ref parts = Ref::steal(PyList_New(0));
  if (!fields || !parts) return nullptr;
  for (Py_ssize_t i = 0; i < kFields; ++i) {
    Ref part = Ref::steal(
        PyUnicode_FromFormat("%s=%R", getset[i].name, PyTuple_GET_ITEM(fields.get(), i)));
    if (!part || PyList_Append(parts.get(), part.get()) < 0) return nullptr;
  }
  Ref separator = Ref::steal(PyUnicode_FromString(", "));
  if (!separator) return nullptr;
  Ref joined = Ref::steal(PyUnicode_Join(separator.get(), parts.get()));
  if (!joined) return nullptr;
  return PyUnicode_FromFormat("PayloadDescriptor(%U)", joined.get());
}

// Pickling and copying: the constructor takes keywords only, so the fields travel as keywords.
PyObject* getnewargs_ex(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                        PyObject* kwnames) try {
  static const Signature signature("__getnewargs_ex__", {});
  Signature::Bound bound;
  if (!signature.bind(args, nargsf, kwnames, bound)) return nullptr;
  Ref fields = Ref::steal(fields_of(self));
  Ref keywords = Ref::steal(PyDict_New());
  if (!fields || !keywords) return nullptr;
  for (Py_ssize_t i = 0; i < kFields; ++i) {
    if (PyDict_SetItemString(keywords.get(), getset[i].name, PyTuple_GET_ITEM(fields.get(), i)) < 0)
      return nullptr;
  }
  Ref no_arguments = Ref::steal(PyTuple_New(0));
  if (!no_arguments) return nullptr;
  return PyTuple_Pack(2, no_arguments.get(), keywords.get());
} catch (...) {
  return raise_current_exception(Py_TYPE(self));
}

PyMethodDef methods[] = {
    {"__getnewargs_ex__",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(getnewargs_ex)),
     METH_FASTCALL | METH_KEYWORDS,
     "__getnewargs_ex__($self)\n--\n\n"
     "Pickle and copy support: the six fields, as the keyword arguments of the constructor."},
    {nullptr, nullptr, 0, nullptr},
};

PyObject* payload_descriptor_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) try {
  static const Signature signature("PayloadDescriptor", {{"kind", true, true},
                                                         {"content_hash", true, true},
                                                         {"framework", true, true},
                                                         {"version", true, true},
                                                         {"io_schema", true, true},
                                                         {"preprocessing_ref", true, false}});
  Signature::Bound bound;
  if (!signature.bind(args, kwargs, bound)) return nullptr;
  PayloadDescriptor value;
  if (!to_string(bound[0], "kind", value.kind) ||
      !to_string(bound[1], "content_hash", value.content_hash) ||
      !to_string(bound[2], "framework", value.framework) ||
      !to_string(bound[3], "version", value.version) ||
      !to_string(bound[4], "io_schema", value.io_schema))
    return nullptr;
  if (bound[5] != nullptr && bound[5] != Py_None) {
    std::string ref;
    if (!to_string(bound[5], "preprocessing_ref", ref)) return nullptr;
    value.preprocessing_ref = std::move(ref);
  }
  return new_object(type, &PyPayloadDescriptor::value, std::move(value));
} catch (...) {
  return raise_current_exception(type);
}

void payload_descriptor_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  reinterpret_cast<PyPayloadDescriptor*>(self)->value.~PayloadDescriptor();
  type->tp_free(self);
  Py_DECREF(type);
}

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>("PayloadDescriptor(*, kind, content_hash, framework, version, "
                                  "io_schema, preprocessing_ref=None)\n"
                                  "--\n\n"
                                  "Reproducibility metadata an External node carries (participates "
                                  "in the structural hash).")},
    {Py_tp_new, reinterpret_cast<void*>(payload_descriptor_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(payload_descriptor_dealloc)},
    {Py_tp_getset, getset},
    {Py_tp_methods, methods},
    {Py_tp_richcompare, reinterpret_cast<void*>(payload_descriptor_richcompare)},
    {Py_tp_hash, reinterpret_cast<void*>(payload_descriptor_hash)},
    {Py_tp_repr, reinterpret_cast<void*>(payload_descriptor_repr)},
    {0, nullptr},
};

PyType_Spec spec = {
    "tarnvel_core.PayloadDescriptor",
    sizeof(PyPayloadDescriptor),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    slots,
};

}  // namespace

PyType_Spec& payload_descriptor_spec() { return spec; }

}  // namespace tarnvel::python

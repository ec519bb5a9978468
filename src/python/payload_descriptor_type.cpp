// The Python class PayloadDescriptor: an immutable holder of one descriptor value.
#include <new>

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

PyObject* payload_descriptor_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) try {
  static const Signature signature(
      "PayloadDescriptor",
      {{"kind", true, true}, {"content_hash", true, true}, {"framework", true, true},
       {"version", true, true}, {"io_schema", true, true}, {"preprocessing_ref", true, false}});
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
  PyObject* self = type->tp_alloc(type, 0);
  if (self == nullptr) return nullptr;
  new (&reinterpret_cast<PyPayloadDescriptor*>(self)->value) PayloadDescriptor(std::move(value));
  return self;
} catch (...) {
  return raise_current_exception(type);
}

void payload_descriptor_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  reinterpret_cast<PyPayloadDescriptor*>(self)->value.~PayloadDescriptor();
  type->tp_free(self);
  Py_DECREF(type);
}

PyGetSetDef getset[] = {
    {"kind", get_kind, nullptr, nullptr, nullptr},
    {"content_hash", get_content_hash, nullptr, nullptr, nullptr},
    {"framework", get_framework, nullptr, nullptr, nullptr},
    {"version", get_version, nullptr, nullptr, nullptr},
    {"io_schema", get_io_schema, nullptr, nullptr, nullptr},
    {"preprocessing_ref", get_preprocessing_ref, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>(
        "PayloadDescriptor(*, kind, content_hash, framework, version, io_schema, preprocessing_ref=None)\n"
        "--\n\n"
        "Reproducibility metadata an External node carries (participates in the structural hash).")},
    {Py_tp_new, reinterpret_cast<void*>(payload_descriptor_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(payload_descriptor_dealloc)},
    {Py_tp_getset, getset},
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

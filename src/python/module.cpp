// The extension module tarnvel_core: multi-phase initialization, its classes and `version`.
#include <cstring>

#include "python/convert.hpp"
#include "python/objects.hpp"
#include "python/py_support.hpp"

namespace tarnvel::python {
namespace {

PyObject* version(PyObject*, PyObject* const*, Py_ssize_t nargs) {
  if (nargs != 0) {
    PyErr_Format(PyExc_TypeError, "version() takes no arguments (%zd given)", nargs);
    return nullptr;
  }
  return PyUnicode_FromString(TARNVEL_VERSION);
}

PyObject* add_type(PyObject* module, PyType_Spec& spec, PyTypeObject*& slot) {
  PyObject* type = PyType_FromModuleAndSpec(module, &spec, nullptr);
  if (type == nullptr) return nullptr;
  slot = reinterpret_cast<PyTypeObject*>(type);  // the module state keeps this reference
  if (PyModule_AddObjectRef(module, strrchr(spec.name, '.') + 1, type) < 0) return nullptr;
  return type;
}

PyMethodDef version_def = {
    "version", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(version)), METH_FASTCALL,
    "version()\n--\n\nThe module's version, \"" TARNVEL_VERSION "\"."};

int exec_module(PyObject* module) {
  ModuleState& state = *static_cast<ModuleState*>(PyModule_GetState(module));
  if (add_type(module, graph_store_spec(), state.graph_store_type) == nullptr) return -1;
  if (add_type(module, payload_descriptor_spec(), state.payload_descriptor_type) == nullptr)
    return -1;
  if (add_type(module, incremental_reducer_spec(), state.incremental_reducer_type) == nullptr)
    return -1;
  Ref module_name = Ref::steal(PyModule_GetNameObject(module));
  if (!module_name) return -1;
  Ref function = Ref::steal(PyCFunction_NewEx(&version_def, nullptr, module_name.get()));
  if (!function || PyModule_AddObjectRef(module, "version", function.get()) < 0) return -1;
  state.internal_fault = PyErr_NewExceptionWithDoc(
      "tarnvel_core.InternalFault",
      "A broken internal invariant of tarnvel_core. Derives from BaseException, so ordinary\n"
      "`except Exception` clauses do not swallow it.",
      PyExc_BaseException, nullptr);
  if (state.internal_fault == nullptr) return -1;
  state.report_template = report_template();
  if (state.report_template == nullptr) return -1;
  return PyModule_AddObjectRef(module, "InternalFault", state.internal_fault);
}

int traverse_module(PyObject* module, visitproc visit, void* arg) {
  ModuleState* state = static_cast<ModuleState*>(PyModule_GetState(module));
  if (state == nullptr) return 0;
  Py_VISIT(state->graph_store_type);
  Py_VISIT(state->payload_descriptor_type);
  Py_VISIT(state->incremental_reducer_type);
  Py_VISIT(state->internal_fault);
  Py_VISIT(state->report_template);
  return 0;
}

int clear_module(PyObject* module) {
  ModuleState* state = static_cast<ModuleState*>(PyModule_GetState(module));
  if (state == nullptr) return 0;
  Py_CLEAR(state->graph_store_type);
  Py_CLEAR(state->payload_descriptor_type);
  Py_CLEAR(state->incremental_reducer_type);
  Py_CLEAR(state->internal_fault);
  Py_CLEAR(state->report_template);
  return 0;
}

void free_module(void* module) { clear_module(static_cast<PyObject*>(module)); }

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
#ifdef Py_mod_gil
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

}  // namespace

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "tarnvel_core",  "",           sizeof(ModuleState), nullptr,
    module_slots,          traverse_module, clear_module, free_module,
};

}  // namespace tarnvel::python

PyMODINIT_FUNC PyInit_tarnvel_core() { return PyModuleDef_Init(&tarnvel::python::module_def); }

/* The floor for recording: a method with add_op's arguments that does nothing but return an int. */
#define PY_SSIZE_T_CLEAN
#include <Python.h>

typedef struct { PyObject_HEAD } Recorder;

static PyObject* add_op(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  (void)self; (void)args; (void)nargsf; (void)kwnames;
  return PyLong_FromLong(0);
}

static PyMethodDef methods[] = {
    {"add_op", (PyCFunction)(void (*)(void))add_op, METH_FASTCALL | METH_KEYWORDS, NULL},
    {NULL, NULL, 0, NULL}};

static PyType_Slot slots[] = {{Py_tp_methods, methods}, {0, NULL}};
static PyType_Spec spec = {"noop_module.Recorder", sizeof(Recorder), 0, Py_TPFLAGS_DEFAULT, slots};

static int exec_module(PyObject* module) {
  PyObject* type = PyType_FromSpec(&spec);
  if (type == NULL) return -1;
  int rc = PyModule_AddObjectRef(module, "Recorder", type);
  Py_DECREF(type);
  return rc;
}

static PyModuleDef_Slot module_slots[] = {{Py_mod_exec, (void*)exec_module}, {0, NULL}};
static PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "noop_module", "", 0, NULL, module_slots, NULL, NULL, NULL};

PyMODINIT_FUNC PyInit_noop_module(void) { return PyModuleDef_Init(&module_def); }

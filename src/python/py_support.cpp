#include "python/py_support.hpp"

#include <cstring>
#include <new>

#include "support/fault.hpp"

namespace tarnvel::python {
namespace {

// Detaches from the interpreter while blocking on a contended core lock, so that a waiter never
// holds the GIL (or blocks a stop-the-world pause) that the lock holder may need.
struct DetachingWait final : ContentionWait {
  void wait(void (*block)(void*), void* context) override {
    Py_BEGIN_ALLOW_THREADS block(context);
    Py_END_ALLOW_THREADS
  }
};
DetachingWait detaching_wait;  // stateless

// Runs on the thread that installed it, attached, with no core lock held.
struct PendingSignals final : InterruptionCheck {
  bool stop_requested() override { return PyErr_CheckSignals() != 0; }
};
PendingSignals pending_signals;  // stateless

Py_ssize_t find_keyword(const absl::InlinedVector<Parameter, Signature::kMaxParams>& params,
                        PyObject* keyword) {
  for (std::size_t i = 0; i < params.size(); ++i) {
    if (PyUnicode_CompareWithASCIIString(keyword, params[i].name) == 0)
      return static_cast<Py_ssize_t>(i);
  }
  return -1;
}

}  // namespace

DetachedWaits::DetachedWaits() noexcept : scope_(detaching_wait) {}

SignalChecks::SignalChecks() noexcept : scope_(pending_signals) {}

ModuleState& state_of(PyTypeObject* type) {
  PyObject* module = PyType_GetModuleByDef(type, &module_def);
  return *static_cast<ModuleState*>(PyModule_GetState(module));
}

Signature::Signature(const char* function, std::initializer_list<Parameter> params)
    : function_(function), params_(params) {
  check_invariant(params_.size() <= kMaxParams, "too many parameters for the binder");
  while (positional_ < params_.size() && !params_[positional_].keyword_only) ++positional_;
  for (std::size_t i = 0; i < params_.size(); ++i) {
    if (params_[i].required) required_prefix_ = static_cast<Py_ssize_t>(i) + 1;
  }
}

bool Signature::bind_general(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                             Bound& out) const {
  out.fill(nullptr);
  if (nargs > static_cast<Py_ssize_t>(positional_)) {
    if (positional_ == 0) {
      PyErr_Format(PyExc_TypeError, "%s() takes no positional arguments", function_);
    } else {
      PyErr_Format(PyExc_TypeError, "%s() takes at most %zu positional argument%s (%zd given)",
                   function_, positional_, positional_ == 1 ? "" : "s", nargs);
    }
    return false;
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
  const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
    const Py_ssize_t i = find_keyword(params_, keyword);
    if (i < 0) {
      PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", function_,
                   keyword);
      return false;
    }
    if (out[i] != nullptr) {
      PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", function_,
                   params_[i].name);
      return false;
    }
    out[i] = args[nargs + k];
  }
  for (std::size_t i = 0; i < params_.size(); ++i) {
    if (out[i] != nullptr || !params_[i].required) continue;
    if (params_[i].keyword_only) {
      PyErr_Format(PyExc_TypeError, "%s() missing required keyword-only argument: '%s'", function_,
                   params_[i].name);
    } else {
      PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos %zu)", function_,
                   params_[i].name, i + 1);
    }
    return false;
  }
  return true;
}

bool Signature::bind(PyObject* args, PyObject* kwargs, Bound& out) const {
  // Flatten into the vectorcall layout: positional items, then keyword values with their names.
  const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
  absl::InlinedVector<PyObject*, 2 * kMaxParams> flat;
  for (Py_ssize_t i = 0; i < nargs; ++i) flat.push_back(PyTuple_GET_ITEM(args, i));
  Ref kwnames;
  if (kwargs != nullptr && PyDict_Size(kwargs) > 0) {
    // kwargs is the private dict the interpreter built for this call: no other thread sees it.
    kwnames = Ref::steal(PyTuple_New(PyDict_Size(kwargs)));
    if (!kwnames) return false;
    PyObject *key, *value;
    Py_ssize_t pos = 0, k = 0;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      PyTuple_SET_ITEM(kwnames.get(), k++, Py_NewRef(key));
      flat.push_back(value);
    }
  }
  return bind(flat.data(), nargs, kwnames.get(), out);
}

void add_note(std::string_view note) {
  const auto size = static_cast<Py_ssize_t>(note.size());
#if PY_VERSION_HEX >= 0x030C0000
  PyObject* exception = PyErr_GetRaisedException();
  if (exception == nullptr) return;
  Ref result = Ref::steal(PyObject_CallMethod(exception, "add_note", "s#", note.data(), size));
  if (!result) PyErr_Clear();  // the original error matters more than its note
  PyErr_SetRaisedException(exception);
#else
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  if (type == nullptr) return;
  PyErr_NormalizeException(&type, &value, &traceback);
  if (traceback != nullptr) PyException_SetTraceback(value, traceback);
  Ref result = Ref::steal(PyObject_CallMethod(value, "add_note", "s#", note.data(), size));
  if (!result) PyErr_Clear();
  PyErr_Restore(type, value, traceback);
#endif
}

void add_argument_note(const char* argument) {
  add_note(std::string("while processing '") + argument + "'");
}

PyObject* raise_current_exception(PyTypeObject* type_of_module) {
  try {
    throw;
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (const Interrupted&) {
    return nullptr;  // the handler's exception is set
  } catch (const std::exception& error) {
    PyErr_SetString(state_of(type_of_module).internal_fault, error.what());
  } catch (...) {
    PyErr_SetString(state_of(type_of_module).internal_fault, "unknown internal fault");
  }
  return nullptr;
}

PyObject* raise_bad_node_id(unsigned long long id) {
  PyErr_Format(PyExc_ValueError, "no node with id %llu", id);
  return nullptr;
}

}  // namespace tarnvel::python

// Binding support: owned references, the argument binder, module state, exception translation.
// Only src/python/ includes Python.h. No core lock is ever held while code here calls the C API.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <initializer_list>
#include <new>
#include <string>
#include <string_view>
#include <utility>

#include "absl/container/inlined_vector.h"
#include "support/guarded_mutex.hpp"
#include "support/interruption.hpp"

namespace tarnvel::python {

// A strong reference, released on scope exit. Move-only, so no error path leaks.
class Ref {
 public:
  Ref() noexcept = default;
  static Ref steal(PyObject* object) noexcept { return Ref(object); }  // null stays null
  static Ref borrow(PyObject* object) noexcept { return Ref(Py_XNewRef(object)); }
  Ref(Ref&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  Ref& operator=(Ref&& other) noexcept {
    Ref(std::move(other)).swap(*this);
    return *this;
  }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  ~Ref() { Py_XDECREF(object_); }

  PyObject* get() const noexcept { return object_; }
  PyObject* release() noexcept { return std::exchange(object_, nullptr); }
  explicit operator bool() const noexcept { return object_ != nullptr; }
  void swap(Ref& other) noexcept { std::swap(object_, other.object_); }

 private:
  explicit Ref(PyObject* object) noexcept : object_(object) {}
  PyObject* object_ = nullptr;
};

// A new object of `type` whose `member` is `state`, moved in. The C++ state is built before the
// Python object, so no object ever holds half-built state and a failure leaves nothing to undo.
template <class Object, class State>
PyObject* new_object(PyTypeObject* type, State Object::* member, State state) {
  PyObject* self = type->tp_alloc(type, 0);
  if (self == nullptr) return nullptr;
  new (&(reinterpret_cast<Object*>(self)->*member)) State(std::move(state));
  return self;
}

// The module's own types and exception; written once by the exec slot, read-only afterwards.
struct ModuleState {
  PyTypeObject* graph_store_type;
  PyTypeObject* payload_descriptor_type;
  PyTypeObject* incremental_reducer_type;
  PyObject* internal_fault;
  // The report's six keys with None values, in their order: each report is a copy, so a reduction
  // of a small program forms no key anew. Never changed once made.
  PyObject* report_template;
};
extern PyModuleDef module_def;
// The state of the module that defined `type` (a type of this module or a subclass of one).
ModuleState& state_of(PyTypeObject* type);

// One parameter of a Python-facing signature.
struct Parameter {
  const char* name;
  bool keyword_only = false;
  bool required = false;
};

// Binds vectorcall arguments to a signature the way CPython binds Python functions, with its
// error texts. `out` gets one borrowed reference (or null when absent) per parameter.
class Signature {
 public:
  Signature(const char* function, std::initializer_list<Parameter> params);
  static constexpr std::size_t kMaxParams = 8;
  using Bound = std::array<PyObject*, kMaxParams>;
  bool bind(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames, Bound& out) const {
    // The common call: positional arguments only, every required one among them.
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (kwnames != nullptr || nargs < required_prefix_ ||
        nargs > static_cast<Py_ssize_t>(positional_))
      return bind_general(args, nargs, kwnames, out);
    // Over the whole array, so that no library call copies three pointers.
    for (std::size_t i = 0; i < kMaxParams; ++i)
      out[i] = static_cast<Py_ssize_t>(i) < nargs ? args[i] : nullptr;
    return true;
  }
  // For tp_new, which receives a tuple and a dict.
  bool bind(PyObject* args, PyObject* kwargs, Bound& out) const;

 private:
  const char* function_;
  absl::InlinedVector<Parameter, kMaxParams> params_;
  bool bind_general(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Bound& out) const;

  std::size_t positional_ = 0;  // parameters that may be given by position
  // Positional arguments that cover every required parameter (more than positional_ when a
  // keyword-only parameter is required).
  Py_ssize_t required_prefix_ = 0;
};

// Adds `note` to the exception being raised (kept without it when adding fails).
void add_note(std::string_view note);
// Adds the note "while processing '<argument>'" to the exception being raised.
void add_argument_note(const char* argument);

// Turns the C++ exception being handled into a Python exception and returns null. Call only
// from a catch block: InternalFault (and any other unexpected exception) becomes the module's
// InternalFault, std::bad_alloc becomes MemoryError, and Interrupted keeps the exception the
// signal handler raised.
PyObject* raise_current_exception(PyTypeObject* type_of_module);
// ValueError "no node with id N".
PyObject* raise_bad_node_id(unsigned long long id);

// Installs, for the current call, a wait that detaches from the interpreter while a contended
// core lock is awaited (the lock holder never needs the interpreter before it unlocks).
class DetachedWaits {
 public:
  DetachedWaits() noexcept;

 private:
  ContentionWaitScope scope_;
};

// Installs, for the current call, an interruption check that runs pending signal handlers
// (PyErr_CheckSignals) every millisecond or so of core work, so that Ctrl-C stops a long call. When
// a handler raises, the core unwinds with Interrupted. The core never asks while it holds the lock
// of a shared object, so no handler runs under a core lock.
class SignalChecks {
 public:
  SignalChecks() noexcept;

 private:
  InterruptionScope scope_;
};

// A method-table entry for a vectorcall method `name` with the docstring `doc`.
#define TARNVEL_METHOD(name, doc)                                            \
  {#name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(name)), \
   METH_FASTCALL | METH_KEYWORDS, doc}

}  // namespace tarnvel::python

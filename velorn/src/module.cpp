// The extension module `_velorn`: its definition and its initialisation. Everything in
// this module runs with the interpreter lock held.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <cstdint>
#include <new>

#include "arguments.hpp"
#include "functions.hpp"
#include "py_ref.hpp"
#include "vel/interrupt.hpp"

namespace {

using velorn::py::Ref;

constexpr const char* kSubinterpreterMessage =
    "PyO3 modules do not yet support subinterpreters, see "
    "https://github.com/PyO3/pyo3/issues/576";

// Per-process state, written once under the interpreter lock.
constexpr std::int64_t kNoInterpreter = -1;
std::atomic<std::int64_t> first_interpreter{kNoInterpreter};
PyObject* module_object = nullptr;
PyObject* interned_name = nullptr;
PyObject* interned_all = nullptr;

// The interruption check of every call: the handlers of signals that arrived meanwhile run
// now, and one that raises (KeyboardInterrupt) ends the call with its exception. A handler
// that does not raise lets the work go on.
bool python_signal_raised() { return PyErr_CheckSignals() != 0; }

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_velorn",  // m_name
    "",         // m_doc
    0,          // m_size
    nullptr,    // m_methods: the functions are added by the module body
    nullptr,    // m_slots
    nullptr,    // m_traverse
    nullptr,    // m_clear
    nullptr,    // m_free
};

bool intern_names() {
  if (interned_name == nullptr && !(interned_name = PyUnicode_InternFromString("__name__")))
    return false;
  if (interned_all == nullptr && !(interned_all = PyUnicode_InternFromString("__all__")))
    return false;
  return true;
}

// The module's `__all__` list, created empty when the module has none.
PyObject* module_all(PyObject* module) {
  Ref all(PyObject_GetAttr(module, interned_all));
  if (all) {
    if (!PyList_Check(all.get())) {
      velorn::py::raise_cannot_convert(all.get(), "PyList");
      return nullptr;
    }
    return all.release();
  }
  if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return nullptr;
  PyErr_Clear();
  Ref fresh(PyList_New(0));
  if (!fresh || PyObject_SetAttr(module, interned_all, fresh.get()) < 0) return nullptr;
  return fresh.release();
}

bool add_function(PyObject* module, PyObject* module_name, PyMethodDef* def) {
  Ref function(PyCMethod_New(def, module, module_name, nullptr));
  if (!function) return false;
  Ref name(PyObject_GetAttr(function.get(), interned_name));
  if (!name) return false;
  if (!PyUnicode_Check(name.get())) return velorn::py::raise_cannot_convert(name.get(), "PyString");
  Ref all(module_all(module));
  if (!all || PyList_Append(all.get(), name.get()) < 0) return false;
  return PyObject_SetAttr(module, name.get(), function.get()) == 0;
}

bool module_body(PyObject* module) {
  if (!intern_names()) return false;
  Ref module_name(PyModule_GetNameObject(module));
  if (!module_name) return false;
  for (PyMethodDef& def : velorn::py::function_table())
    if (!add_function(module, module_name.get(), &def)) return false;
  return true;
}

// The first interpreter to import the module is the only one that can.
bool claim_interpreter() {
  std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id == -1 && PyErr_Occurred()) return false;
  std::int64_t recorded = kNoInterpreter;
  if (!first_interpreter.compare_exchange_strong(recorded, id) && recorded != id) {
    PyErr_SetString(PyExc_ImportError, kSubinterpreterMessage);
    return false;
  }
  return true;
}

PyObject* init_module() {
  if (!claim_interpreter()) return nullptr;
  if (module_object != nullptr) return Py_NewRef(module_object);
  Ref module(PyModule_Create2(&module_def, 1013));
  if (!module || !module_body(module.get())) return nullptr;
  vel::set_interrupt_check(python_signal_raised);
  module_object = Py_NewRef(module.get());
  return module.release();
}

}  // namespace

PyMODINIT_FUNC PyInit__velorn(void) {
  try {
    return init_module();
  } catch (...) {
    PyErr_NoMemory();
    return nullptr;
  }
}

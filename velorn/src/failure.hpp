// The failure of a call: a stop becomes the report on standard error and the
// `PanicException` that carries its message; any other C++ exception becomes the matching
// Python error. No C++ exception ever leaves a function called by Python.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "vel/json.hpp"
#include "vel/stop.hpp"

namespace velorn::py {

// The Python error of a call that stopped; always give nullptr.
PyObject* fail_with(const vel::Stop& stop) noexcept;
PyObject* fail_with(const vel::json::JsonError& error) noexcept;
// Turns the exception in flight into the Python error of the call; always gives nullptr.
PyObject* fail_current() noexcept;

// A function of the module's calling convention.
using Road = PyObject* (*)(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);

// `road` with every failure turned into its Python error.
template <Road road>
PyObject* guarded(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  try {
    return road(args, nargsf, kwnames);
  } catch (const vel::Stop& stop) {
    // The usual failures are handled where they are caught: throwing again costs as much
    // as the rest of a small call.
    return fail_with(stop);
  } catch (const vel::json::JsonError& error) { return fail_with(error); } catch (...) {
    return fail_current();
  }
}

}  // namespace velorn::py

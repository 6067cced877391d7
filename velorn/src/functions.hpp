// The ten functions of the module.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <span>

namespace velorn::py {

// Their definitions in the order of registration, each with its signature line.
std::span<PyMethodDef> function_table();

}  // namespace velorn::py

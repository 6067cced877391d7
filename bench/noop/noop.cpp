// The floor under a call of the module's functions: a function of the same calling
// convention (METH_FASTCALL | METH_KEYWORDS) that does nothing and returns None. Built for
// the benchmark only, as its own extension module.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace {

PyObject* noop(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) { Py_RETURN_NONE; }

PyMethodDef functions[] = {
    {"noop", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(noop)),
     METH_FASTCALL | METH_KEYWORDS, "noop(*args, **kwargs)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT,
                          "velorn_bench_noop",
                          "",
                          0,
                          functions,
                          nullptr,
                          nullptr,
                          nullptr,
                          nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_velorn_bench_noop(void) { return PyModule_Create(&module_def); }

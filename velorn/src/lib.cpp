#include <Python.h>

static PyModuleDef velorn_module = {PyModuleDef_HEAD_INIT, "_velorn", "", 0, nullptr};

PyMODINIT_FUNC PyInit__velorn(void) { return PyModule_Create2(&velorn_module, 1013); }

#define PY_SSIZE_T_CLEAN
#include <Python.h>

static PyModuleDef quarvel_module = {PyModuleDef_HEAD_INIT, "_quarvel", "", 0, nullptr,
                                     nullptr, nullptr, nullptr, nullptr};

PyMODINIT_FUNC PyInit__quarvel() { return PyModule_Create2(&quarvel_module, 1013); }

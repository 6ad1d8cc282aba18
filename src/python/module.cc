#define PY_SSIZE_T_CLEAN
#include <Python.h>

static PyModuleDef kModule = {PyModuleDef_HEAD_INIT, "_native", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr};

PyMODINIT_FUNC PyInit__native(void) { return PyModuleDef_Init(&kModule); }

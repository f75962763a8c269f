// Temporary initialiser until the registration table lands.
#include <Python.h>
static PyModuleDef core_module = {PyModuleDef_HEAD_INIT, "_core", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr};
PyMODINIT_FUNC PyInit__core(void) { return PyModuleDef_Init(&core_module); }

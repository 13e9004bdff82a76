// The extension module quelt._quelt_native.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace {

PyModuleDef quelt_module = {
    PyModuleDef_HEAD_INIT, "_quelt_native", "Native core of quelt.", -1, nullptr,
    nullptr,               nullptr,         nullptr,                  nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__quelt_native(void) { return PyModule_Create(&quelt_module); }

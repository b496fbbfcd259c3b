// Equivalent Python:
//
//     """"""
//     __all__ = []
#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace {
PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "quillet_motor_controller", "", -1, nullptr, nullptr, nullptr, nullptr,
    nullptr,
};
}  // namespace

PyMODINIT_FUNC PyInit_quillet_motor_controller() { return PyModule_Create(&module_def); }

// The bindings' one way to CPython's headers. The module is built against the limited API of
// CPython 3.13 (the stable ABI), so that one build per machine serves 3.13 and every later
// CPython: objects are reached only through functions, never through the layout of CPython's
// structures, and a call outside that API does not compile here (its declaration is absent).
// CMake defines Py_LIMITED_API for every unit of the module; a unit compiled without it stops.
#pragma once

#if !defined(Py_LIMITED_API) || Py_LIMITED_API != 0x030D0000
#error "the bindings are built against CPython's limited API of 3.13: Py_LIMITED_API=0x030D0000"
#endif

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace quillet::py {

// One-argument calls (what the full API's PyObject_CallOneArg and PyObject_CallMethodOneArg
// do): new references, null with a Python exception set.
inline PyObject* call_one_arg(PyObject* callable, PyObject* arg) {
  PyObject* args[] = {nullptr, arg};  // the slot before lets the callee prepend a bound self
  return PyObject_Vectorcall(callable, args + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
}
inline PyObject* call_method_one_arg(PyObject* self, PyObject* name, PyObject* arg) {
  PyObject* args[] = {self, arg};
  return PyObject_VectorcallMethod(name, args, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
}

}  // namespace quillet::py

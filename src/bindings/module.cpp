// Module initialisation: one module object per process, the logging bridge, the classes.
#include "bindings/python.hpp"

#include <atomic>
#include <cstdint>

#include "bindings/classes.hpp"
#include "bindings/log_bridge.hpp"
#include "bindings/py_ref.hpp"

namespace quillet::py {
namespace {

// Single-phase initialisation with m_size 0: CPython calls the entry point again for another
// interpreter, which is refused, and for a re-import, which gets the cached module.
PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT, "quillet_motor_controller", "", 0, nullptr, nullptr, nullptr, nullptr,
    nullptr,
};

PyObject* g_module = nullptr;  // kept for the life of the process
std::atomic<std::int64_t> g_interpreter{-1};

PyObject* init() {
  const std::int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
  std::int64_t expected = -1;
  if (!g_interpreter.compare_exchange_strong(expected, interpreter) && expected != interpreter) {
    PyErr_SetString(PyExc_ImportError,
                    "quillet_motor_controller can be imported in one interpreter per process only");
    return nullptr;
  }
  if (g_module != nullptr) return Ref::new_ref(g_module).release();

  Ref module = Ref::steal(PyModule_Create(&g_module_def));
  if (!module) return nullptr;
  if (!install_log_bridge()) return nullptr;
  if (!add_controller_class(module.get()) || !add_loop_class(module.get()) ||
      !add_record_classes(module.get())) {
    return nullptr;
  }
#ifdef QMC_TEST_SURFACE
  if (!add_test_functions(module.get())) return nullptr;
#endif
  g_module = Ref::new_ref(module).release();
  return module.release();
}

}  // namespace
}  // namespace quillet::py

PyMODINIT_FUNC PyInit_quillet_motor_controller() { return quillet::py::init(); }

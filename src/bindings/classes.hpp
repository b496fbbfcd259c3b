// One registration function per class unit, called by module initialisation in this order:
// the class's order in __all__. Each creates its class(es) with `add_class` (class_def.hpp) and
// returns false with a Python exception set on failure.
#pragma once

#include "bindings/python.hpp"

namespace quillet::py {

// The CAN interface both classes use when none is given.
inline constexpr const char* kDefaultCanBus = "can0";

bool add_controller_class(PyObject* module);  // QuilletMotorController: controller_class.cpp
bool add_loop_class(PyObject* module);        // QuilletPyControlLoop: loop_class.cpp
bool add_record_classes(PyObject* module);    // QuilletTorsoPosition, ControlLoopStats: record_classes.cpp

// Functions for the module's own tests, named with a leading underscore and kept out of __all__;
// only in a build with QMC_TEST_SURFACE.
bool add_test_functions(PyObject* module);
// For those tests: runs an operation on a QuilletMotorController that breaks with a C++
// exception while the object's lock is held (controller_class.cpp).
PyObject* fault_inside_controller(PyObject* controller);    // testing.cpp

}  // namespace quillet::py

// The Python classes QuilletTorsoPosition and ControlLoopStats around the control loop's records.
//
// How to use: return a record to Python with `to_python(position)` / `to_python(stats)` (a new
// reference, null with an exception set); take a QuilletTorsoPosition argument by declaring a
// `control_loop::QuilletTorsoPosition` output of `parse` (signature.hpp): only an instance of the class
// is accepted, and the output receives a copy of its record.
#pragma once

#include "bindings/python.hpp"

#include "bindings/convert.hpp"
#include "control_loop/records.hpp"

namespace quillet::py {

PyObject* to_python(const control_loop::QuilletTorsoPosition& position);
PyObject* to_python(control_loop::ControlLoopStats stats);

template <>
struct Converter<control_loop::QuilletTorsoPosition> {
  static bool convert(Borrowed object, control_loop::QuilletTorsoPosition& out);
};

}  // namespace quillet::py

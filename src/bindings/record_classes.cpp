#include "bindings/record_classes.hpp"

#include <string>
#include <utility>
#include <vector>

#include "bindings/class_def.hpp"
#include "bindings/classes.hpp"
#include "bindings/errors.hpp"
#include "bindings/signature.hpp"
#include "bindings/to_python.hpp"

namespace quillet::py {
namespace {

using control_loop::ControlLoopStats;
using control_loop::QuilletTorsoPosition;

// ---- QuilletTorsoPosition

constexpr auto kTorsoNew =
    signature("QuilletTorsoPosition.__new__", 4, "left_arm", "right_arm", "nose", "neck");

PyObject* torso_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    std::vector<double> left_arm, right_arm, nose, neck;
    if (!parse(kTorsoNew, args, kwargs, left_arm, right_arm, nose, neck)) return nullptr;
    auto position = control_loop::torso_position_from(left_arm, right_arm, nose, neck,
                                                      control_loop::wall_clock_timestamp());
    if (!position) return raise_fault(control_loop::kTorsoPositionLengthError);
    return new_instance<QuilletTorsoPosition>(type, *position);
  });
}

template <auto Field>
PyObject* torso_get(PyObject* self, void*) {
  return guarded([&]() -> PyObject* {
    return to_py(value_of<QuilletTorsoPosition>(self).*Field).release();
  });
}

PyObject* torso_repr(PyObject* self) {
  return guarded([&]() -> PyObject* {
    return to_py(control_loop::representation(value_of<QuilletTorsoPosition>(self))).release();
  });
}

PyGetSetDef kTorsoGetSet[] = {
    {"left_arm", torso_get<&QuilletTorsoPosition::left_arm>, nullptr, nullptr, nullptr},
    {"right_arm", torso_get<&QuilletTorsoPosition::right_arm>, nullptr, nullptr, nullptr},
    {"nose", torso_get<&QuilletTorsoPosition::nose>, nullptr, nullptr, nullptr},
    {"neck", torso_get<&QuilletTorsoPosition::neck>, nullptr,
     "Neck joint positions in rad: [yaw, pitch, roll].", nullptr},
    {"timestamp", torso_get<&QuilletTorsoPosition::timestamp>, nullptr, nullptr, nullptr},
    {}};

// ---- ControlLoopStats

template <auto Field>
PyObject* stats_get(PyObject* self, void*) {
  return guarded([&]() -> PyObject* {
    return to_py(value_of<ControlLoopStats>(self).*Field).release();
  });
}

PyObject* stats_repr(PyObject* self) {
  return guarded([&]() -> PyObject* {
    return to_py(control_loop::representation(value_of<ControlLoopStats>(self))).release();
  });
}

PyGetSetDef kStatsGetSet[] = {
    {"period", stats_get<&ControlLoopStats::period>, nullptr, nullptr, nullptr},
    {"read_dt", stats_get<&ControlLoopStats::read_dt>, nullptr, nullptr, nullptr},
    {"write_dt", stats_get<&ControlLoopStats::write_dt>, nullptr, nullptr, nullptr},
    {}};

}  // namespace

PyObject* to_python(const QuilletTorsoPosition& position) {
  return guarded([&]() -> PyObject* { return new_instance_of_class<QuilletTorsoPosition>(position); });
}

PyObject* to_python(ControlLoopStats stats) {
  return guarded(
      [&]() -> PyObject* { return new_instance_of_class<ControlLoopStats>(std::move(stats)); });
}

bool Converter<QuilletTorsoPosition>::convert(Borrowed object, QuilletTorsoPosition& out) {
  PyTypeObject* type = class_type<QuilletTorsoPosition>;
  if (type == nullptr || !PyObject_TypeCheck(object.get(), type)) {
    return detail::cannot_convert(object, "QuilletTorsoPosition");
  }
  out = value_of<QuilletTorsoPosition>(object.get());
  return true;
}

bool add_record_classes(PyObject* module) {
  return add_class<QuilletTorsoPosition>(module, {.name = "QuilletTorsoPosition",
                                                  .signature = "(left_arm, right_arm, nose, neck)",
                                                  .constructor = torso_new,
                                                  .getset = kTorsoGetSet,
                                                  .repr = torso_repr}) &&
         add_class<ControlLoopStats>(module,
                                     {.name = "ControlLoopStats", .getset = kStatsGetSet, .repr = stats_repr});
}

}  // namespace quillet::py

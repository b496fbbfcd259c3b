#include "bindings/record_classes.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <span>
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

// The three lists, by the names of their attributes.
struct StatsField {
  const char* name;
  control_loop::Samples ControlLoopStats::*samples;
};
constexpr std::array<StatsField, 3> kStatsFields{{{"period", &ControlLoopStats::period},
                                                  {"read_dt", &ControlLoopStats::read_dt},
                                                  {"write_dt", &ControlLoopStats::write_dt}}};

// The samples from index `from` on as a new list of floats.
PyObject* list_of(const control_loop::Samples& samples, std::size_t from) {
  const std::size_t count = from < samples.size() ? samples.size() - from : 0;
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(count)));
  if (!list) return nullptr;
  Py_ssize_t index = 0;
  for (std::span<const double> run : samples.spans(from)) {
    for (double sample : run) {
      PyObject* item = PyFloat_FromDouble(sample);
      if (item == nullptr || PyList_SetItem(list.get(), index++, item) < 0) return nullptr;
    }
  }
  return list.release();
}

template <std::size_t Field>
PyObject* stats_get(PyObject* self, void*) {
  return guarded([&]() -> PyObject* {
    return list_of(value_of<ControlLoopStats>(self).*kStatsFields[Field].samples, 0);
  });
}

// The list named by a `field` argument; null with ValueError set for any other name.
const control_loop::Samples* stats_field(PyObject* self, const std::string& field) {
  for (const StatsField& known : kStatsFields) {
    if (field == known.name) return &(value_of<ControlLoopStats>(self).*known.samples);
  }
  std::string names;
  for (const StatsField& known : kStatsFields) names += std::string(names.empty() ? "" : ", ") + "'" + known.name + "'";
  raise_with_text(PyExc_ValueError, "argument 'field': must be one of " + names + ", not '" + field + "'");
  return nullptr;
}

PyObject* stats_sample_count(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static constexpr auto sig = signature("ControlLoopStats.sample_count", 1, "field");
    std::string field;
    if (!parse(sig, args, nargs, kwnames, field)) return nullptr;
    const control_loop::Samples* samples = stats_field(self, field);
    if (samples == nullptr) return nullptr;
    return to_py(static_cast<std::uint64_t>(samples->size())).release();
  });
}

PyObject* stats_samples_since(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static constexpr auto sig = signature("ControlLoopStats.samples_since", 2, "field", "start");
    std::string field;
    std::uint64_t start = 0;
    if (!parse(sig, args, nargs, kwnames, field, start)) return nullptr;
    const control_loop::Samples* samples = stats_field(self, field);
    if (samples == nullptr) return nullptr;
    return list_of(*samples, static_cast<std::size_t>(std::min<std::uint64_t>(start, samples->size())));
  });
}

PyObject* stats_repr(PyObject* self) {
  return guarded([&]() -> PyObject* {
    return to_py(control_loop::representation(value_of<ControlLoopStats>(self))).release();
  });
}

PyGetSetDef kStatsGetSet[] = {
    {kStatsFields[0].name, stats_get<0>, nullptr, nullptr, nullptr},
    {kStatsFields[1].name, stats_get<1>, nullptr, nullptr, nullptr},
    {kStatsFields[2].name, stats_get<2>, nullptr, nullptr, nullptr},
    {}};

PyMethodDef kStatsMethods[] = {
    {"sample_count", fastcall(stats_sample_count), METH_FASTCALL | METH_KEYWORDS,
     QMC_DOC("sample_count", "$self, field",
             "Number of samples in the list `field`: \"period\", \"read_dt\" or \"write_dt\".")},
    {"samples_since", fastcall(stats_samples_since), METH_FASTCALL | METH_KEYWORDS,
     QMC_DOC("samples_since", "$self, field, start",
             "The samples of the list `field` from index `start` on, oldest first: what a\n"
             "reader has not seen yet when it has seen `start` of them. Empty when `start` is\n"
             "at or past the end.")},
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
                                     {.name = "ControlLoopStats",
                                      .methods = kStatsMethods,
                                      .getset = kStatsGetSet,
                                      .repr = stats_repr});
}

}  // namespace quillet::py

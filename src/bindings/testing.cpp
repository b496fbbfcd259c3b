// Functions for the module's own tests: emitting log records from the calling thread or from a
// thread that Python does not know, waiting on such a thread, and running single argument
// conversions, and breaking an operation of a controller object. Named with a leading
// underscore and kept out of __all__; nothing else in the module uses them.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "bindings/convert.hpp"
#include "bindings/signature.hpp"
#include "bindings/to_python.hpp"
#include "bindings/class_def.hpp"
#include "bindings/classes.hpp"
#include "bindings/errors.hpp"
#include "bindings/gil.hpp"
#include "bindings/record_classes.hpp"
#include "support/log.hpp"

namespace quillet::py {
namespace {

bool level_from(std::uint8_t number, log::Level& level) {
  if (number < 1 || number > 5) {
    PyErr_SetString(PyExc_ValueError, "level must be 1 (Error) to 5 (Trace)");
    return false;
  }
  level = static_cast<log::Level>(number);
  return true;
}

void emit(log::Level level, const std::string& target, const std::string& message) {
  QUILLET_LOG(level, target, message);
}

constexpr auto kLog = free_signature("_log", 3, "level", "target", "message", "pending");

// Logs one record from the calling thread. With `pending`, that exception is set first and left
// set afterwards, so the call raises whichever exception is pending after the record.
PyObject* log_here(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    std::uint8_t number = 0;
    std::string target, message;
    log::Level level{};
    PyObject* slots[4] = {};
    if (!detail::collect(kLog.view(), args, nargs, kwnames, slots) ||
        !detail::convert_slot("level", slots[0], number) ||
        !detail::convert_slot("target", slots[1], target) ||
        !detail::convert_slot("message", slots[2], message) || !level_from(number, level)) {
      return nullptr;
    }
    PyObject* pending = slots[3] == Py_None ? nullptr : slots[3];
    if (pending != nullptr) PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(pending)), pending);
    emit(level, target, message);
    if (PyErr_Occurred()) return nullptr;
    return none().release();
  });
}

constexpr auto kStats = free_signature("_stats", 3, "period", "read_dt", "write_dt");

// A ControlLoopStats record, which Python cannot construct otherwise.
PyObject* stats(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    std::vector<double> period, read_dt, write_dt;
    if (!parse(kStats, args, nargs, kwnames, period, read_dt, write_dt)) return nullptr;
    return to_python(control_loop::ControlLoopStats{control_loop::samples_of(period),
                                                    control_loop::samples_of(read_dt),
                                                    control_loop::samples_of(write_dt)});
  });
}

constexpr auto kLogFromThread =
    free_signature("_log_from_thread", 3, "level", "target", "message", "count");

// Logs `count` records from a new thread and joins it, the interpreter lock released meanwhile.
PyObject* log_from_thread(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    std::uint8_t number = 0;
    std::string target, message;
    std::uint32_t count = 1;
    log::Level level{};
    if (!parse(kLogFromThread, args, nargs, kwnames, number, target, message, count) ||
        !level_from(number, level)) {
      return nullptr;
    }
    std::thread thread([=] {
      for (std::uint32_t i = 0; i < count; ++i) emit(level, target, message);
    });
    without_gil([&] { thread.join(); });
    return none().release();
  });
}

constexpr auto kStartLogThread = free_signature("_start_log_thread", 5, "level", "target",
                                                "message", "count", "interval_us");

// Starts a detached thread that logs `count` records, `interval_us` apart, and returns at once:
// the thread may go on logging while the interpreter shuts down and after it has.
PyObject* start_log_thread(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    std::uint8_t number = 0;
    std::string target, message;
    std::uint64_t count = 0, interval_us = 0;
    log::Level level{};
    if (!parse(kStartLogThread, args, nargs, kwnames, number, target, message, count,
               interval_us) ||
        !level_from(number, level)) {
      return nullptr;
    }
    std::thread([=] {
      for (std::uint64_t i = 0; i < count; ++i) {
        emit(level, target, message + " " + std::to_string(i));
        if (interval_us > 0) std::this_thread::sleep_for(std::chrono::microseconds(interval_us));
      }
    }).detach();
    return none().release();
  });
}

constexpr auto kGilWait = free_signature("_gil_wait", 3, "kind", "target", "records");

// Waits, as a method would, on a thread that logs `records` Info records (each needing the
// interpreter lock) before it lets the wait end. kind "mutex": the thread holds a mutex while it
// logs, and this thread takes the mutex with lock_releasing_gil. "condition": the thread logs and
// then signals a condition that this thread waits for with wait_releasing_gil. "timeout": the
// condition is never signalled; returns whether wait_until_releasing_gil reported it satisfied.
PyObject* gil_wait(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    std::string kind, target;
    std::uint32_t records = 0;
    if (!parse(kGilWait, args, nargs, kwnames, kind, target, records)) return nullptr;
    std::mutex mutex;
    std::condition_variable cv;
    bool ready = false;
    std::atomic<bool> holding{false};
    const auto log_all = [&] {
      for (std::uint32_t i = 0; i < records; ++i) emit(log::Level::Info, target, "while waited on");
    };
    std::thread thread;
    bool satisfied = true;
    if (kind == "mutex") {
      thread = std::thread([&] {
        std::lock_guard guard(mutex);
        holding = true;
        holding.notify_all();
        log_all();
      });
      without_gil([&] { holding.wait(false); });
      std::unique_lock lock = lock_releasing_gil(mutex);
    } else if (kind == "condition") {
      thread = std::thread([&] {
        log_all();
        std::lock_guard guard(mutex);
        ready = true;
        cv.notify_all();
      });
      std::unique_lock lock = wait_releasing_gil(cv, mutex, [&] { return ready; });
    } else if (kind == "timeout") {
      thread = std::thread(log_all);
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(50);
      satisfied = wait_until_releasing_gil(cv, mutex, deadline, [&] { return ready; }).satisfied;
    } else {
      PyErr_Format(PyExc_ValueError, "unknown kind '%s'", kind.c_str());
      return nullptr;
    }
    without_gil([&] { thread.join(); });
    return to_py(satisfied).release();
  });
}

constexpr auto kConvert = free_signature("_convert", 2, "kind", "value");

template <class T>
PyObject* convert_as(PyObject* value) {
  T out{};
  if (!detail::convert_slot("value", value, out)) return nullptr;
  return to_py(out).release();
}

template <class T>
PyObject* convert_optional(PyObject* value) {
  std::optional<T> out;
  if (!detail::convert_slot("value", value, out)) return nullptr;
  return out ? to_py(*out).release() : none().release();
}

PyObject* convert_u8_list(PyObject* value) {
  std::vector<std::uint8_t> out;
  if (!detail::convert_slot("value", value, out)) return nullptr;
  return to_py(std::vector<unsigned>(out.begin(), out.end())).release();
}

PyObject* convert_duration(PyObject* value) {
  Duration out;
  if (!detail::convert_slot("value", value, out)) return nullptr;
  return to_py(std::make_pair(out.seconds, out.nanos)).release();
}

PyObject* convert_torso(PyObject* value) {
  control_loop::QuilletTorsoPosition out;
  if (!detail::convert_slot("value", value, out)) return nullptr;
  return to_python(out);
}

// Converts `value` by the rule named `kind` and returns the result as Python sees it back.
PyObject* convert(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    std::string kind;
    PyObject* slots[2] = {nullptr, nullptr};
    if (!detail::collect(kConvert.view(), args, nargs, kwnames, slots) ||
        !detail::convert_slot("kind", slots[0], kind)) {
      return nullptr;
    }
    PyObject* value = slots[1];
    if (kind == "none") return none().release();
    if (kind == "f64x3_drop") {  // converts and returns None: the conversion alone, for benchmarks
      std::array<double, 3> out{};
      if (!detail::convert_slot("value", value, out)) return nullptr;
      return none().release();
    }
    if (kind == "f64") return convert_as<double>(value);
    if (kind == "f32") return convert_as<float>(value);
    if (kind == "u8") return convert_as<std::uint8_t>(value);
    if (kind == "u16") return convert_as<std::uint16_t>(value);
    if (kind == "u32") return convert_as<std::uint32_t>(value);
    if (kind == "u64") return convert_as<std::uint64_t>(value);
    if (kind == "bool") return convert_as<bool>(value);
    if (kind == "str") return convert_as<std::string>(value);
    if (kind == "f64x2") return convert_as<std::array<double, 2>>(value);
    if (kind == "f64x3") return convert_as<std::array<double, 3>>(value);
    if (kind == "f64x4") return convert_as<std::array<double, 4>>(value);
    if (kind == "f64x7") return convert_as<std::array<double, 7>>(value);
    if (kind == "floats") return convert_as<std::vector<double>>(value);
    if (kind == "u8list") return convert_u8_list(value);
    if (kind == "bytes") return convert_as<Bytes>(value);
    if (kind == "duration") return convert_duration(value);
    if (kind == "opt_str") return convert_optional<std::string>(value);
    if (kind == "opt_f32") return convert_optional<float>(value);
    if (kind == "opt_duration") {
      if (value == Py_None) return none().release();
      return convert_duration(value);
    }
    if (kind == "torso") return convert_torso(value);
    if (kind == "fault") throw std::logic_error("broken invariant");
    PyErr_Format(PyExc_ValueError, "unknown kind '%s'", kind.c_str());
    return nullptr;
  });
}

PyObject* fault_in_controller(PyObject*, PyObject* controller) {
  return fault_inside_controller(controller);
}

PyMethodDef kFunctions[] = {
    {"_log", fastcall(log_here), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"_log_from_thread", fastcall(log_from_thread), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"_start_log_thread", fastcall(start_log_thread), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"_convert", fastcall(convert), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"_stats", fastcall(stats), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"_gil_wait", fastcall(gil_wait), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"_fault_in_controller", fault_in_controller, METH_O, nullptr},
    {}};

}  // namespace

bool add_test_functions(PyObject* module) { return PyModule_AddFunctions(module, kFunctions) == 0; }

}  // namespace quillet::py

// Equivalent Python (a background thread owns the robot; the methods queue commands for it or copy
// what it last read, and never touch a bus themselves):
//
//     class QuilletPyControlLoop:
//         def __init__(self, serialport: str | None, read_position_loop_period: timedelta,
//                      can_bus="can0", allowed_retries=5, stats_pub_period=None,
//                      voltage_rampup_timeout=timedelta(seconds=30)): ...  # checks, then starts
//         def get_last_position(self) -> QuilletTorsoPosition: ...    # raises the stored error
//         def set_neck_yaw_position(self, position: float) -> None:   # queued, not awaited
//             self._queue.put(SetNeckYawPosition(position))
//         def async_read_raw_bytes(self, id, addr, length) -> bytes: ...  # waits up to 1 s
//         def close(self) -> None: ...                                  # drains, then joins
//
// Every wait on the loop thread (room in the queue, a reply, the join) happens without the
// interpreter lock: the loop thread may need it to deliver a log record. None happens on the
// loop's own thread (a handler of one of its records), which would wait for itself.
#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "bindings/convert.hpp"
#include "bindings/signature.hpp"
#include "bindings/to_python.hpp"
#include "bindings/class_def.hpp"
#include "bindings/classes.hpp"
#include "bindings/errors.hpp"
#include "bindings/gil.hpp"
#include "bindings/record_classes.hpp"
#include "control_loop/loop.hpp"
#include "controller/error.hpp"
#include "servo_bus/servo/feetech/model.hpp"

namespace quillet::py {
namespace {

using control_loop::MotorCommand;
using control_loop::MotorError;
using control_loop::QuilletControlLoop;
namespace cl = control_loop;


// The Python object's content. Start-up fills `loop`; releasing the object closes the loop,
// which joins its thread, so the interpreter lock is let go meanwhile. Not noexcept: CPython may
// end a daemon thread that takes the lock back during interpreter shutdown.
struct LoopObject {
  std::unique_ptr<QuilletControlLoop> loop;

  LoopObject() = default;
  LoopObject(const LoopObject&) = delete;
  LoopObject& operator=(const LoopObject&) = delete;
  ~LoopObject() noexcept(false) {
    if (!loop) return;
    // A record logged while closing may raise, and no caller is there to see it.
    const bool pending_before = PyErr_Occurred() != nullptr;
    without_gil([&] { loop.reset(); });
    if (!pending_before && PyErr_Occurred()) {
      // Reported as raised in the class: the instance is being destroyed.
      PyErr_WriteUnraisable(reinterpret_cast<PyObject*>(class_type<LoopObject>));
    }
  }
};

// The object's loop; null with RuntimeError set in a fork() child, where the loop's thread does
// not exist and its locks may have been held at the fork. Every method starts with it.
QuilletControlLoop* loop_of(PyObject* self) {
  QuilletControlLoop& loop = *value_of<LoopObject>(self).loop;
  if (loop.in_creating_process()) return &loop;
  raise_runtime_error(cl::kCreatedBeforeFork);
  return nullptr;
}

// RuntimeError "<operation>: cannot wait for the control loop from its own thread" when the
// caller is a log handler (or the collector) running on one of the loop's threads, which would
// wait for itself; true when the caller may wait.
bool may_wait(QuilletControlLoop& loop, std::string_view operation) {
  if (!loop.on_own_thread()) return true;
  std::string text(operation);
  text += ": ";
  text += cl::kOwnThreadWait;
  raise_runtime_error(text);
  return false;
}

// Queues `command` for `operation`; a full queue is waited on without the interpreter lock, or
// refused on the loop's own threads. False with RuntimeError(`failure`) set once the loop has
// ended.
bool enqueue(QuilletControlLoop& loop, MotorCommand command, std::string_view operation,
             std::string_view failure = cl::kQueueClosed) {
  auto attempt = loop.try_submit(std::move(command));
  std::expected<void, cl::Closed<MotorCommand>> done = std::move(attempt.done);
  if (attempt.full) {
    if (!may_wait(loop, operation)) return false;
    done = without_gil([&] { return loop.submit(std::move(*attempt.full)); });
  }
  if (!done) raise_runtime_error(failure);
  return done.has_value();
}

PyObject* queue(QuilletControlLoop& loop, MotorCommand command, std::string_view operation,
                std::string_view failure = cl::kQueueClosed) {
  if (!enqueue(loop, std::move(command), operation, failure)) return nullptr;
  return none().release();
}

using Args = PyObject* const*;

// A method without parameters.
template <PyObject* (*Body)(QuilletControlLoop&)>
PyObject* no_arguments(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    QuilletControlLoop* loop = loop_of(self);
    return loop != nullptr ? Body(*loop) : nullptr;
  });
}

// On the loop's own thread this only asks the loop to stop: it ends by itself once the handler
// that called it has returned.
PyObject* close_loop(QuilletControlLoop& loop) {
  without_gil([&] { loop.close(); });
  return none().release();
}

PyObject* motor_name_id(QuilletControlLoop& loop) { return to_py(loop.motor_name_id()).release(); }

PyObject* last_position(QuilletControlLoop& loop) {
  auto position = loop.get_last_position();
  if (!position) return raise_error(position.error());
  return to_python(*position);
}

PyObject* torque_enabled(QuilletControlLoop& loop) {
  auto enabled = loop.is_torque_enabled();
  if (!enabled) return raise_error(enabled.error());
  return to_py(*enabled).release();
}

PyObject* stats(QuilletControlLoop& loop) {
  auto stats = loop.get_stats();
  if (!stats) return none().release();
  return to_python(std::move(*stats));
}

template <class Command, const char* Name>
PyObject* queue_plain(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    QuilletControlLoop* loop = loop_of(self);
    return loop != nullptr ? queue(*loop, Command{}, operation_of(Name)) : nullptr;
  });
}

// What a command carries, from the value given: every input checked by its controller rule
// before it is queued, since the loop thread would refuse it only later, where no caller hears
// of it. Nothing, with the error raised, when the value breaks its rule.
std::optional<controller::Position> payload(std::string_view operation, const char* argument, double position) {
  return checked(controller::Position::check(operation, argument, position));
}
template <std::size_t N>
std::optional<controller::Positions<N>> payload(std::string_view operation, const char* argument,
                                                const std::array<double, N>& positions) {
  return checked(controller::Positions<N>::check(operation, argument, positions));
}
// The loop commands the seven servo values of the record; its neck values are not used.
std::optional<controller::Positions<7>> payload(std::string_view operation, const char* argument,
                                                const cl::QuilletTorsoPosition& record) {
  return payload(operation, argument, cl::servo_positions(record));
}
std::optional<controller::TorqueIds> payload(std::string_view operation, const char* argument,
                                             std::vector<std::uint8_t> ids) {
  return checked(controller::TorqueIds::check(operation, argument, std::move(ids)));
}
std::optional<bool> payload(std::string_view, const char*, bool enable) { return enable; }

// A method taking one value (a float, a fixed-length sequence, a bool, an id list or a record)
// and queueing the command that carries it.
template <class Command, class Value, const char* Name, const char* Param>
PyObject* queue_value(PyObject* self, Args args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static constexpr auto sig = signature(Name, 1, Param);
    QuilletControlLoop* loop = loop_of(self);
    if (loop == nullptr) return nullptr;
    Value value{};
    if (!parse(sig, args, nargs, kwnames, value)) return nullptr;
    auto carried = payload(operation_of(Name), Param, std::move(value));
    if (!carried) return nullptr;
    return queue(*loop, Command{std::move(*carried)}, operation_of(Name));
  });
}

// Names for arity messages, as Python words them for its own methods.
constexpr char k_name[] = "QuilletPyControlLoop.name";
constexpr char k_set_all_goal_positions[] = "QuilletPyControlLoop.set_all_goal_positions";
constexpr char k_set_left_arm_position[] = "QuilletPyControlLoop.set_left_arm_position";
constexpr char k_set_right_arm_position[] = "QuilletPyControlLoop.set_right_arm_position";
constexpr char k_set_arms_position[] = "QuilletPyControlLoop.set_arms_position";
constexpr char k_set_nose_position[] = "QuilletPyControlLoop.set_nose_position";
constexpr char k_set_neck_position[] = "QuilletPyControlLoop.set_neck_position";
constexpr char k_set_neck_yaw_position[] = "QuilletPyControlLoop.set_neck_yaw_position";
constexpr char k_set_neck_pitch_position[] = "QuilletPyControlLoop.set_neck_pitch_position";
constexpr char k_set_neck_roll_position[] = "QuilletPyControlLoop.set_neck_roll_position";
constexpr char k_enable_neck[] = "QuilletPyControlLoop.enable_neck";
constexpr char k_enable_torque_on_ids[] = "QuilletPyControlLoop.enable_torque_on_ids";
constexpr char k_disable_torque_on_ids[] = "QuilletPyControlLoop.disable_torque_on_ids";
constexpr char k_enable_arms[] = "QuilletPyControlLoop.enable_arms";
constexpr char k_enable_nose[] = "QuilletPyControlLoop.enable_nose";
constexpr char k_enable_torque[] = "QuilletPyControlLoop.enable_torque";
constexpr char k_disable_torque[] = "QuilletPyControlLoop.disable_torque";
constexpr char kPositions[] = "positions";
constexpr char kPosition[] = "position";
constexpr char kEnable[] = "enable";
constexpr char kIds[] = "ids";

using Bytes8 = std::vector<std::uint8_t>;

// The servo id of a raw or PID method: one servo's (never the broadcast id, never 255).
std::optional<controller::ServoId> one_servo(std::string_view operation, std::uint8_t id) {
  return checked(controller::ServoId::check(operation, "id", id));
}

using servo_bus::feetech::kPidGainsLength;
constexpr std::uint8_t kPidGains = servo_bus::feetech::kSmsStsRegisters.pid_gains;

PyObject* async_read_raw_bytes(PyObject* self, Args args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static constexpr auto sig = signature("QuilletPyControlLoop.async_read_raw_bytes", 3, "id", "addr", "length");
    constexpr std::string_view operation = operation_of(sig.function);
    QuilletControlLoop* loop = loop_of(self);
    if (loop == nullptr) return nullptr;
    std::uint8_t id = 0, address = 0, length = 0;
    if (!parse(sig, args, nargs, kwnames, id, address, length)) return nullptr;
    auto servo = one_servo(operation, id);
    if (!servo) return nullptr;
    auto count = checked(controller::ReadLength::check(operation, "length", length));
    if (!count || !may_wait(*loop, operation)) return nullptr;
    auto bytes = without_gil([&] { return loop->async_read_raw_bytes(*servo, address, *count); });
    if (!bytes) return raise_error("Failed to read raw bytes: ", bytes.error());
    return to_py(*bytes).release();
  });
}

PyObject* async_write_raw_bytes(PyObject* self, Args args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static constexpr auto sig = signature("QuilletPyControlLoop.async_write_raw_bytes", 3, "id", "addr", "data");
    constexpr std::string_view operation = operation_of(sig.function);
    QuilletControlLoop* loop = loop_of(self);
    if (loop == nullptr) return nullptr;
    std::uint8_t id = 0, address = 0;
    Bytes8 data;
    if (!parse(sig, args, nargs, kwnames, id, address, data)) return nullptr;
    auto servo = one_servo(operation, id);
    if (!servo) return nullptr;
    auto bytes = checked(controller::WriteData::check(operation, "data", std::move(data)));
    if (!bytes) return nullptr;
    static const std::string failure =
        "Failed to write raw bytes: " + MotorError::communication_failure().message();
    return queue(*loop, cl::WriteRawBytes{*servo, address, std::move(*bytes)}, operation, failure);
  });
}

PyObject* async_read_pid_gains(PyObject* self, Args args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static constexpr auto sig = signature("QuilletPyControlLoop.async_read_pid_gains", 1, "id");
    constexpr std::string_view operation = operation_of(sig.function);
    QuilletControlLoop* loop = loop_of(self);
    if (loop == nullptr) return nullptr;
    std::uint8_t id = 0;
    if (!parse(sig, args, nargs, kwnames, id)) return nullptr;
    auto servo = one_servo(operation, id);
    if (!servo || !may_wait(*loop, operation)) return nullptr;
    static const auto length = *controller::ReadLength::check(operation, "length", kPidGainsLength);
    auto bytes = without_gil([&] { return loop->async_read_raw_bytes(*servo, kPidGains, length); });
    constexpr const char* kFailed = "Failed to read pid gains: ";
    if (!bytes) return raise_error(kFailed, bytes.error());
    if (bytes->size() != kPidGainsLength) {
      return raise_error(kFailed, MotorError::communication_failure().because(
                                      {"servo " + std::to_string(id) + " sent " + std::to_string(bytes->size()) +
                                       " bytes for its three gain registers"}));
    }
    const auto gains = servo_bus::feetech::pid_gains_from(std::span(*bytes).first<kPidGainsLength>());
    return to_py(std::tuple<int, int, int>(gains.p, gains.i, gains.d)).release();
  });
}

PyObject* async_write_pid_gains(PyObject* self, Args args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static constexpr auto sig =
        signature("QuilletPyControlLoop.async_write_pid_gains", 4, "id", "p", "i", "d");
    constexpr std::string_view operation = operation_of(sig.function);
    QuilletControlLoop* loop = loop_of(self);
    if (loop == nullptr) return nullptr;
    std::uint8_t id = 0;
    std::uint16_t p = 0, i = 0, d = 0;
    if (!parse(sig, args, nargs, kwnames, id, p, i, d)) return nullptr;
    auto servo = one_servo(operation, id);
    if (!servo) return nullptr;
    // Each gain is a one-byte register: a larger value would be written cut to its low byte.
    for (auto [name, value] : {std::pair{"p", p}, std::pair{"i", i}, std::pair{"d", d}}) {
      if (value > 0xFF) {
        PyErr_Format(PyExc_OverflowError, "argument '%s': gain %u does not fit its one-byte register (at most 255)",
                     name, static_cast<unsigned>(value));
        return nullptr;
      }
    }
    static const std::string failure =
        "Failed to write pid gains: " + MotorError::communication_failure().message();
    const auto bytes = servo_bus::feetech::pid_gain_bytes(
        {.p = static_cast<std::uint8_t>(p), .i = static_cast<std::uint8_t>(i), .d = static_cast<std::uint8_t>(d)});
    auto gains = *controller::WriteData::check(operation, "data", Bytes8(bytes.begin(), bytes.end()));
    return queue(*loop, cl::WriteRawBytes{*servo, kPidGains, std::move(gains)}, operation, failure);
  });
}

PyObject* write_raw_packet(PyObject* self, Args args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static constexpr auto sig = signature("QuilletPyControlLoop.write_raw_packet", 1, "data");
    constexpr std::string_view operation = operation_of(sig.function);
    QuilletControlLoop* loop = loop_of(self);
    if (loop == nullptr) return nullptr;
    Bytes data;
    if (!parse(sig, args, nargs, kwnames, data)) return nullptr;
    if (!may_wait(*loop, operation)) return nullptr;
    auto [reply, replied] = cl::reply_channel<cl::Bytes>();
    if (!enqueue(*loop, cl::WriteRawPacket{std::move(data.data), std::move(reply)}, operation)) return nullptr;
    auto answer = without_gil([&] { return replied.recv(); });
    if (!answer) return raise_runtime_error("Failed to receive raw packet response: " + std::string(cl::kReplySenderGone));
    return to_py(*answer).release();
  });
}

PyObject* enter(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* { return loop_of(self) != nullptr ? Ref::new_ref(self).release() : nullptr; });
}

// The end of a `with` block closes the loop; an exception of the block goes on.
PyObject* exit(PyObject* self, PyObject* const*, Py_ssize_t nargs) {
  return guarded([&]() -> PyObject* {
    if (nargs != 3) {
      PyErr_Format(PyExc_TypeError, "__exit__ expected 3 arguments, got %zd", nargs);
      return nullptr;
    }
    QuilletControlLoop* loop = loop_of(self);
    return loop != nullptr ? close_loop(*loop) : nullptr;
  });
}

PyObject* create(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static constexpr auto sig =
        signature("QuilletPyControlLoop", 2, "serialport", "read_position_loop_period", "can_bus",
                  "allowed_retries", "stats_pub_period", "voltage_rampup_timeout");
    const cl::LoopSettings defaults;
    std::optional<std::string> serialport;
    Duration period;
    std::string can_bus = kDefaultCanBus;
    std::uint64_t allowed_retries = defaults.allowed_retries;
    std::optional<Duration> stats_pub_period;
    Duration voltage_rampup_timeout = Duration::from(defaults.voltage_rampup_timeout);
    if (!parse(sig, args, kwargs, serialport, period, can_bus, allowed_retries, stats_pub_period,
               voltage_rampup_timeout)) {
      return nullptr;
    }
    if (!system_name("serialport", serialport) || !system_name("can_bus", can_bus)) return nullptr;
    // Zero attempts could never read, and a zero period has no tick schedule.
    if (allowed_retries == 0) {
      PyErr_SetString(PyExc_ValueError, "argument 'allowed_retries': must be at least 1");
      return nullptr;
    }
    if (period == Duration{}) {
      PyErr_SetString(PyExc_ValueError, "argument 'read_position_loop_period': must be greater than zero");
      return nullptr;
    }
    cl::LoopSettings settings;
    settings.read_position_loop_period = period.as_nanoseconds();
    settings.allowed_retries = allowed_retries;
    if (stats_pub_period) settings.stats_pub_period = stats_pub_period->as_nanoseconds();
    settings.voltage_rampup_timeout = voltage_rampup_timeout.as_nanoseconds();

    // The object first, so that a failed allocation never has a running loop to stop.
    Ref object = Ref::steal(new_instance<LoopObject>(type));
    if (!object) return nullptr;
    // The supply wait can last many seconds: Ctrl-C ends it between two readings, and so does
    // an exception that a start-up record's delivery raised (it is what the constructor raises).
    auto started = QuilletControlLoop::create(serialport, can_bus, settings, [] {
      return PyErr_Occurred() != nullptr || PyErr_CheckSignals() != 0;
    });
    if (!started) {
      const auto& failure = started.error();
      if (const MotorError* error = failure.motor_error()) return raise_error(*error);
      if (std::holds_alternative<cl::StartupError::WasInterrupted>(failure.variant())) return nullptr;
      return raise_fault(failure.message());
    }
    value_of<LoopObject>(object.get()).loop = std::move(*started);
    return object.release();
  });
}

constexpr int kArgs = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef kMethods[] = {
    {"close", no_arguments<close_loop>, METH_NOARGS,
     QMC_DOC("close", "$self", "Close the control loop and release resources.")},
    {"get_motor_name_id", no_arguments<motor_name_id>, METH_NOARGS,
     QMC_DOC("get_motor_name_id", "$self", "Get the id/name motors used in this controller.")},
    {"get_last_position", no_arguments<last_position>, METH_NOARGS,
     QMC_DOC("get_last_position", "$self", "Get the last successfully read motor positions.")},
    {"set_all_goal_positions",
     fastcall(queue_value<cl::SetAllGoalPositions, cl::QuilletTorsoPosition, k_set_all_goal_positions, kPositions>),
     kArgs, QMC_DOC("set_all_goal_positions", "$self, positions", "Set goal positions for all motors.")},
    {"set_left_arm_position",
     fastcall(queue_value<cl::SetLeftArmPosition, std::array<double, 2>, k_set_left_arm_position, kPosition>),
     kArgs,
     QMC_DOC("set_left_arm_position", "$self, position",
             "Set goal positions for the left arm (2 values: pitch, yaw).")},
    {"set_right_arm_position",
     fastcall(queue_value<cl::SetRightArmPosition, std::array<double, 2>, k_set_right_arm_position, kPosition>),
     kArgs,
     QMC_DOC("set_right_arm_position", "$self, position",
             "Set goal positions for the right arm (2 values: pitch, yaw).")},
    {"set_arms_position",
     fastcall(queue_value<cl::SetArmsPosition, std::array<double, 4>, k_set_arms_position, kPosition>), kArgs,
     QMC_DOC("set_arms_position", "$self, position", "Set goal positions for both arms (4 values).")},
    {"set_nose_position",
     fastcall(queue_value<cl::SetNosePosition, std::array<double, 3>, k_set_nose_position, kPosition>), kArgs,
     QMC_DOC("set_nose_position", "$self, position", "Set goal positions for the nose (3 values).")},
    {"set_neck_position",
     fastcall(queue_value<cl::SetNeckPosition, std::array<double, 3>, k_set_neck_position, kPosition>), kArgs,
     QMC_DOC("set_neck_position", "$self, position",
             "Set goal positions for the neck (3 values: yaw, pitch, roll).")},
    {"set_neck_yaw_position",
     fastcall(queue_value<cl::SetNeckYawPosition, double, k_set_neck_yaw_position, kPosition>), kArgs,
     QMC_DOC("set_neck_yaw_position", "$self, position", "")},
    {"set_neck_pitch_position",
     fastcall(queue_value<cl::SetNeckPitchPosition, double, k_set_neck_pitch_position, kPosition>), kArgs,
     QMC_DOC("set_neck_pitch_position", "$self, position", "")},
    {"set_neck_roll_position",
     fastcall(queue_value<cl::SetNeckRollPosition, double, k_set_neck_roll_position, kPosition>), kArgs,
     QMC_DOC("set_neck_roll_position", "$self, position", "")},
    {"enable_neck", fastcall(queue_value<cl::EnableNeck, bool, k_enable_neck, kEnable>), kArgs,
     QMC_DOC("enable_neck", "$self, enable", "Enable or disable the neck motors.")},
    {"is_torque_enabled", no_arguments<torque_enabled>, METH_NOARGS,
     QMC_DOC("is_torque_enabled", "$self", "Check torque enabled status.")},
    {"enable_torque", queue_plain<cl::EnableTorque, k_enable_torque>, METH_NOARGS,
     QMC_DOC("enable_torque", "$self", "Enable torque on all motors.")},
    {"enable_torque_on_ids",
     fastcall(queue_value<cl::EnableTorqueOnIds, Bytes8, k_enable_torque_on_ids, kIds>), kArgs,
     QMC_DOC("enable_torque_on_ids", "$self, ids", "Enable torque on ids.")},
    {"disable_torque", queue_plain<cl::DisableTorque, k_disable_torque>, METH_NOARGS,
     QMC_DOC("disable_torque", "$self", "Disable torque on all motors.")},
    {"disable_torque_on_ids",
     fastcall(queue_value<cl::DisableTorqueOnIds, Bytes8, k_disable_torque_on_ids, kIds>), kArgs,
     QMC_DOC("disable_torque_on_ids", "$self, ids", "Disable torque on ids.")},
    {"enable_arms", fastcall(queue_value<cl::EnableArms, bool, k_enable_arms, kEnable>), kArgs,
     QMC_DOC("enable_arms", "$self, enable", "Enable or disable the arm motors.")},
    {"enable_nose", fastcall(queue_value<cl::EnableNose, bool, k_enable_nose, kEnable>), kArgs,
     QMC_DOC("enable_nose", "$self, enable", "Enable or disable the nose motors.")},
    {"get_stats", no_arguments<stats>, METH_NOARGS,
     QMC_DOC("get_stats", "$self", "Get the latest control loop statistics, if available.")},
    {"async_read_raw_bytes", fastcall(async_read_raw_bytes), kArgs,
     QMC_DOC("async_read_raw_bytes", "$self, id, addr, length",
             "Perform an asynchronous raw read of motor bytes.")},
    {"async_write_raw_bytes", fastcall(async_write_raw_bytes), kArgs,
     QMC_DOC("async_write_raw_bytes", "$self, id, addr, data",
             "Perform an asynchronous raw write of motor bytes.")},
    {"async_read_pid_gains", fastcall(async_read_pid_gains), kArgs,
     QMC_DOC("async_read_pid_gains", "$self, id", "Read PID gains for a given motor id. Returns (P, I, D).")},
    {"async_write_pid_gains", fastcall(async_write_pid_gains), kArgs,
     QMC_DOC("async_write_pid_gains", "$self, id, p, i, d", "Write PID gains for a given motor id.")},
    {"write_raw_packet", fastcall(write_raw_packet), kArgs, QMC_DOC("write_raw_packet", "$self, data", "")},
    {"__enter__", enter, METH_NOARGS,
     QMC_DOC("__enter__", "$self",
             "Use the loop in a `with` block; its end closes the loop:\n\n    with "
             "QuilletPyControlLoop(\"/dev/ttyUSB0\", timedelta(milliseconds=4)) as loop:\n        "
             "print(loop.get_last_position())\n\nThe RuntimeError of a failed start-up or position "
             "read keeps its message\nand carries the cause in notes (`__notes__`): the step, the "
             "bus, the joint\nand its id, the lower error, the attempts.")},
    {"__exit__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(exit)), METH_FASTCALL,
     QMC_DOC("__exit__", "$self, exc_type, exc_value, traceback, /",
             "Close the loop, as close() does. An exception raised in the block goes on.")},
    {},
};

}  // namespace

bool add_loop_class(PyObject* module) {
  return add_class<LoopObject>(
      module, {.name = "QuilletPyControlLoop",
               .signature = "(serialport, read_position_loop_period, can_bus=..., allowed_retries=5, "
                            "stats_pub_period=None, voltage_rampup_timeout=...)",
               .constructor = create,
               .methods = kMethods});
}

}  // namespace quillet::py

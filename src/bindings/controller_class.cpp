// Equivalent Python (each method converts its arguments, takes the object's lock, runs one
// controller operation on the calling thread and raises RuntimeError with its message):
//
//     class QuilletMotorController:
//         def __init__(self, serialport: str | None = None, can_bus: str = "can0"): ...
//         def is_torque_enabled(self) -> bool: ...
//         def read_all_positions(self) -> list[float]: ...
//         def set_neck_position(self, position: Sequence[float]) -> list[float]: ...
//         def neck_home(self, speed=0.4, tolerance=0.15, kp=None, kd=None) -> list[float]: ...
//         ...
#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

#include "bindings/convert.hpp"
#include "bindings/signature.hpp"
#include "bindings/to_python.hpp"
#include "bindings/class_def.hpp"
#include "bindings/classes.hpp"
#include "bindings/errors.hpp"
#include "bindings/gil.hpp"
#include "bindings/log_bridge.hpp"
#include "controller/controller.hpp"

namespace quillet::py {
namespace {

using controller::QuilletMotorController;

constexpr const char* kInUseByThisThread = "QuilletMotorController is already in use by this thread";
constexpr const char* kClosed = "QuilletMotorController is closed";

// The Python object's content. The mutex serialises every method; a C++ exception escaping an
// operation poisons it for good, since the controller may be half-way through a bus exchange.
struct ControllerObject {
  explicit ControllerObject(std::unique_ptr<QuilletMotorController> c) : controller(std::move(c)) {}
  std::unique_ptr<QuilletMotorController> controller;  // null once closed by __exit__
  std::mutex mutex;
  bool poisoned = false;  // guarded by mutex
  // The thread inside an operation. Python code may run on it meanwhile (a signal handler between
  // two homing cycles): a call of this object from there would wait for itself.
  std::atomic<std::thread::id> holder{};
};

// Names this thread as the object's holder while it lives.
class Holding {
 public:
  explicit Holding(ControllerObject& object) : object_(object) {
    object_.holder.store(std::this_thread::get_id());
  }
  ~Holding() { object_.holder.store(std::thread::id{}); }
  Holding(const Holding&) = delete;
  Holding& operator=(const Holding&) = delete;

 private:
  ControllerObject& object_;
};

// An operation's outcome as Python sees it: None, the converted value, or RuntimeError.
PyObject* reply(const controller::Result<void>& result) {
  if (!result) return raise_error(result.error());
  return none().release();
}
template <class T>
PyObject* reply(const controller::Result<T>& result) {
  if (!result) return raise_error(result.error());
  return to_py(*result).release();
}
template <class T>
PyObject* reply(const T& value) {
  return to_py(value).release();
}

// Runs `op` on the controller under the object's mutex, then converts its outcome with `reply`.
// A thread that finds the mutex held waits without the interpreter lock, which the holder may
// need meanwhile. The operation's log records are delivered once the mutex is released, so that
// their handlers may use this object, or wait for a thread that does; an exception raised by
// their delivery is what the method raises.
template <class Op>
PyObject* locked(PyObject* self, Op&& op) {
  ControllerObject& object = value_of<ControllerObject>(self);
  if (object.holder.load() == std::this_thread::get_id()) return raise_runtime_error(kInUseByThisThread);
  std::optional<std::invoke_result_t<Op&, QuilletMotorController&>> outcome;
  const char* refused = nullptr;
  {
    HeldRecords held;
    std::unique_lock lock = lock_releasing_gil(object.mutex);
    if (!object.controller) {
      refused = kClosed;
    } else if (object.poisoned) {
      refused = "Failed to lock motor controller";
    } else {
      Holding holding(object);
      try {
        outcome.emplace(op(*object.controller));
      } catch (...) {
        object.poisoned = true;
        throw;
      }
    }
  }
  if (refused != nullptr) return raise_runtime_error(refused);
  return reply(*outcome);
}

// A method without parameters that runs `Operation` on the controller.
template <auto Operation>
PyObject* no_arguments(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    return locked(self, [](QuilletMotorController& c) { return (c.*Operation)(); });
  });
}

// Constants, but the lock is still taken, so that a poisoned object raises.
PyObject* neck_position_limits(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    return locked(self, [](QuilletMotorController&) {
      return QuilletMotorController::neck_position_limits();
    });
  });
}

using Args = PyObject* const*;

// The torque switch of a list of ids, on or off.
template <bool Enable>
PyObject* torque_on_ids(PyObject* self, Args args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static constexpr auto sig = signature(
        Enable ? "QuilletMotorController.enable_torque_on_ids"
               : "QuilletMotorController.disable_torque_on_ids", 1, "ids");
    std::vector<std::uint8_t> ids;
    if (!parse(sig, args, nargs, kwnames, ids)) return nullptr;
    auto valid = checked(controller::TorqueIds::check(operation_of(sig.function), "ids", std::move(ids)));
    if (!valid) return nullptr;
    return locked(self, [&](QuilletMotorController& c) { return c.set_torque_on_ids(*valid, Enable); });
  });
}

// A method taking one fixed-length sequence of positions.
template <std::size_t N, auto Operation, const char* Name, const char* Param>
PyObject* positions_method(PyObject* self, Args args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static constexpr auto sig = signature(Name, 1, Param);
    std::array<double, N> positions{};
    if (!parse(sig, args, nargs, kwnames, positions)) return nullptr;
    // Checked before the lock: raised at once even when another thread holds the object or it
    // is poisoned.
    auto goals = checked(controller::Positions<N>::check(operation_of(Name), Param, positions));
    if (!goals) return nullptr;
    return locked(self, [&](QuilletMotorController& c) { return (c.*Operation)(*goals); });
  });
}

constexpr char kPositions[] = "positions";
constexpr char kPosition[] = "position";
constexpr char kSetAll[] = "QuilletMotorController.set_all_goal_positions";
constexpr char kSetLeft[] = "QuilletMotorController.set_left_arm_position";
constexpr char kSetRight[] = "QuilletMotorController.set_right_arm_position";
constexpr char kSetArms[] = "QuilletMotorController.set_arms_position";
constexpr char kSetNose[] = "QuilletMotorController.set_nose_position";
constexpr char kSetNeck[] = "QuilletMotorController.set_neck_position";
constexpr char kSetYaw[] = "QuilletMotorController.set_neck_yaw_position";
constexpr char kSetPitch[] = "QuilletMotorController.set_neck_pitch_position";
constexpr char kSetRoll[] = "QuilletMotorController.set_neck_roll_position";

// One neck joint; the controller clamps it to the joint's bounds.
template <controller::NeckAxis Joint, const char* Name>
PyObject* single_neck_joint(PyObject* self, Args args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static constexpr auto sig = signature(Name, 1, "position");
    double position = 0.0;
    if (!parse(sig, args, nargs, kwnames, position)) return nullptr;
    auto goal = checked(controller::Position::check(operation_of(Name), "position", position));
    if (!goal) return nullptr;
    return locked(self, [&](QuilletMotorController& c) { return c.set_single_neck_joint(Joint, *goal); });
  });
}

PyObject* set_neck_gains(PyObject* self, Args args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static constexpr auto sig = signature("QuilletMotorController.set_neck_gains", 3, "index", "kp", "kd");
    std::uint32_t index = 0;
    float kp = 0.0f;
    float kd = 0.0f;
    if (!parse(sig, args, nargs, kwnames, index, kp, kd)) return nullptr;
    auto kp_gain = checked(controller::Gain::check("set_neck_gains", "kp", kp));
    if (!kp_gain) return nullptr;
    auto kd_gain = checked(controller::Gain::check("set_neck_gains", "kd", kd));
    if (!kd_gain) return nullptr;
    return locked(self, [&](QuilletMotorController& c) -> controller::Result<void> {
      // An index past roll is the controller's error, as an operation's: after the lock.
      auto joint = controller::neck_axis_at(index);
      if (!joint) return std::unexpected(std::move(joint.error()));
      c.set_neck_gains(*joint, *kp_gain, *kd_gain);
      return {};
    });
  });
}

PyObject* neck_home(PyObject* self, Args args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static constexpr auto sig = signature("QuilletMotorController.neck_home", 0, "speed", "tolerance", "kp", "kd");
    double speed = 0.4;
    double tolerance = 0.15;
    std::optional<float> kp;
    std::optional<float> kd;
    if (!parse(sig, args, nargs, kwnames, speed, tolerance, kp, kd)) return nullptr;
    std::optional<controller::Gain> kp_gain, kd_gain;
    if (kp && !(kp_gain = checked(controller::Gain::check("neck_home", "kp", *kp)))) return nullptr;
    if (kd && !(kd_gain = checked(controller::Gain::check("neck_home", "kd", *kd)))) return nullptr;
    return locked(self, [&](QuilletMotorController& c) {
      // Homing keeps the interpreter lock for tens of seconds: Ctrl-C (or any signal handler
      // that raises) stops it between two cycles, and its exception is what Python sees.
      return c.neck_home(speed, tolerance, kp_gain, kd_gain, [] { return PyErr_CheckSignals() != 0; });
    });
  });
}

// The torque switch of one group; `Operation` is enable_arms or enable_nose.
template <auto Operation, const char* Name>
PyObject* enable_method(PyObject* self, Args args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static constexpr auto sig = signature(Name, 1, "enable");
    bool enable = false;
    if (!parse(sig, args, nargs, kwnames, enable)) return nullptr;
    return locked(self, [&](QuilletMotorController& c) { return (c.*Operation)(enable); });
  });
}

constexpr char kEnableNeck[] = "QuilletMotorController.enable_neck";
constexpr char kEnableArms[] = "QuilletMotorController.enable_arms";
constexpr char kEnableNose[] = "QuilletMotorController.enable_nose";

PyObject* write_raw_packet(PyObject* self, Args args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static constexpr auto sig = signature("QuilletMotorController.write_raw_packet", 1, "data");
    Bytes data;
    if (!parse(sig, args, nargs, kwnames, data)) return nullptr;
    return locked(self, [&](QuilletMotorController& c) -> controller::Result<void> {
      auto answer = c.write_raw_packet(data.data);
      if (!answer) return std::unexpected(std::move(answer.error()));
      return {};  // the reply is not handed to Python by this class
    });
  });
}

// `with`: the object itself, unless it is closed (or poisoned), as every method.
PyObject* enter(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    Ref usable = Ref::steal(locked(self, [](QuilletMotorController&) { return true; }));
    if (!usable) return nullptr;
    return Ref::new_ref(self).release();
  });
}

// The end of a `with` block releases both buses as dropping the object does, so that the serial
// port can be opened again at once; every method then raises. Exceptions of the block go on.
PyObject* exit(PyObject* self, PyObject* const*, Py_ssize_t nargs) {
  return guarded([&]() -> PyObject* {
    if (nargs != 3) {
      PyErr_Format(PyExc_TypeError, "__exit__ expected 3 arguments, got %zd", nargs);
      return nullptr;
    }
    ControllerObject& object = value_of<ControllerObject>(self);
    if (object.holder.load() == std::this_thread::get_id()) return raise_runtime_error(kInUseByThisThread);
    HeldRecords held;
    std::unique_lock lock = lock_releasing_gil(object.mutex);
    std::unique_ptr<QuilletMotorController> released = std::move(object.controller);
    lock.unlock();
    released.reset();  // the serial port, then the CAN socket
    return none().release();
  });
}

PyObject* create(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static constexpr auto sig = signature("QuilletMotorController", 0, "serialport", "can_bus");
    std::optional<std::string> serialport;
    std::string can_bus = kDefaultCanBus;
    if (!parse(sig, args, kwargs, serialport, can_bus)) return nullptr;
    if (!system_name("serialport", serialport) || !system_name("can_bus", can_bus)) return nullptr;
    auto opened = QuilletMotorController::create(serialport, can_bus);
    if (!opened) return raise_error(opened.error());
    return new_instance<ControllerObject>(type, std::move(*opened));
  });
}

constexpr int kArgs = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef kMethods[] = {
    {"is_torque_enabled", no_arguments<&QuilletMotorController::is_torque_enabled>, METH_NOARGS,
     QMC_DOC("is_torque_enabled", "$self", "Is torque enabled on all motors")},
    {"enable_torque", no_arguments<&QuilletMotorController::enable_torque>, METH_NOARGS,
     QMC_DOC("enable_torque", "$self", "Enable torque on all motors.")},
    {"enable_torque_on_ids", fastcall(torque_on_ids<true>), kArgs,
     QMC_DOC("enable_torque_on_ids", "$self, ids", "Enable torque on ids")},
    {"disable_torque", no_arguments<&QuilletMotorController::disable_torque>, METH_NOARGS,
     QMC_DOC("disable_torque", "$self", "Disable torque on all motors.")},
    {"disable_torque_on_ids", fastcall(torque_on_ids<false>), kArgs,
     QMC_DOC("disable_torque_on_ids", "$self, ids", "Disable torque on ids")},
    {"read_all_positions", no_arguments<&QuilletMotorController::read_all_positions>, METH_NOARGS,
     QMC_DOC("read_all_positions", "$self",
             "Read all motor positions as a 7-element array.\nOrder: [left_arm_pitch, "
             "left_arm_yaw, right_arm_pitch, right_arm_yaw, nose_top, nose_left, nose_right]")},
    {"set_all_goal_positions",
     fastcall(positions_method<7, &QuilletMotorController::set_all_goal_positions, kSetAll, kPositions>),
     kArgs,
     QMC_DOC("set_all_goal_positions", "$self, positions",
             "Set goal positions for all motors (7 values).\n\n# Arguments\n* `positions` - Array "
             "of 7 goal positions\n  (left_arm_pitch, left_arm_yaw, right_arm_pitch, "
             "right_arm_yaw, nose_top, nose_left, nose_right).")},
    {"set_left_arm_position",
     fastcall(positions_method<2, &QuilletMotorController::set_left_arm_position, kSetLeft, kPosition>),
     kArgs,
     QMC_DOC("set_left_arm_position", "$self, position",
             "Set goal positions for the left arm (2 values: pitch, yaw).")},
    {"set_right_arm_position",
     fastcall(positions_method<2, &QuilletMotorController::set_right_arm_position, kSetRight, kPosition>),
     kArgs,
     QMC_DOC("set_right_arm_position", "$self, position",
             "Set goal positions for the right arm (2 values: pitch, yaw).")},
    {"set_arms_position",
     fastcall(positions_method<4, &QuilletMotorController::set_arms_position, kSetArms, kPosition>),
     kArgs,
     QMC_DOC("set_arms_position", "$self, position",
             "Set goal positions for both arms (4 values: left pitch, left yaw, right pitch, right "
             "yaw).")},
    {"set_nose_position",
     fastcall(positions_method<3, &QuilletMotorController::set_nose_position, kSetNose, kPosition>),
     kArgs,
     QMC_DOC("set_nose_position", "$self, position", "Set goal positions for the nose (3 values).")},
    {"set_neck_position",
     fastcall(positions_method<3, &QuilletMotorController::set_neck_position, kSetNeck, kPosition>),
     kArgs,
     QMC_DOC("set_neck_position", "$self, position",
             "Set goal positions for the neck (3 values: yaw, pitch, roll). Returns\nthe observed "
             "positions reported by the motor replies.")},
    {"set_neck_yaw_position", fastcall(single_neck_joint<controller::NeckAxis::Yaw, kSetYaw>), kArgs,
     QMC_DOC("set_neck_yaw_position", "$self, position", "")},
    {"set_neck_pitch_position", fastcall(single_neck_joint<controller::NeckAxis::Pitch, kSetPitch>), kArgs,
     QMC_DOC("set_neck_pitch_position", "$self, position", "")},
    {"set_neck_roll_position", fastcall(single_neck_joint<controller::NeckAxis::Roll, kSetRoll>), kArgs,
     QMC_DOC("set_neck_roll_position", "$self, position", "")},
    {"neck_position_limits", neck_position_limits, METH_NOARGS,
     QMC_DOC("neck_position_limits", "$self",
             "Hard safety bounds (lower, upper) in rad for each neck joint.\nOrder: [yaw, pitch, "
             "roll]. Every neck setter clamps to these bounds\nbefore commanding the motor.")},
    {"read_neck_positions", no_arguments<&QuilletMotorController::read_neck_positions>, METH_NOARGS,
     QMC_DOC("read_neck_positions", "$self",
             "Read the current neck positions (yaw, pitch, roll) via a Damiao\nfeedback request.")},
    {"set_neck_gains", fastcall(set_neck_gains), kArgs,
     QMC_DOC("set_neck_gains", "$self, index, kp, kd",
             "Override the MIT impedance gains (kp, kd) for a single neck joint.\n`index`: 0=yaw, "
             "1=pitch, 2=roll.")},
    {"neck_home", fastcall(neck_home), kArgs,
     QMC_DOC("neck_home", "$self, speed=0.4, tolerance=0.15, kp=None, kd=None",
             "Home the 3 neck joints to the nearest physical zero.\n\nSnaps each goal to the "
             "nearest multiple of 2π of the joint's current\nreported position — after a power "
             "cycle the Damiao multi-turn counter\nresets, so commanding \"go to 0\" naively could "
             "spin the head a full\nturn. Rounding keeps travel within ±π and lands at a "
             "physically\nequivalent zero.\n\nEnables neck torque if it isn't already (does "
             "**not** disable on\nexit — caller owns torque lifecycle). Ramps at `speed` rad/s on "
             "a\n10 ms cycle and returns the observed positions once every joint is\nwithin "
             "`tolerance` rad of its goal. Raises on timeout.\n\n`kp` / `kd`: optional overrides "
             "applied to all three joints for the\nduration of homing (and left in place "
             "afterwards). `None` keeps the\nper-joint defaults baked into the controller.")},
    {"enable_neck", fastcall(enable_method<&QuilletMotorController::enable_neck, kEnableNeck>),
     kArgs,
     QMC_DOC("enable_neck", "$self, enable",
             "Enable or disable the neck motors. On enable, also forces each motor\ninto MIT "
             "control mode.")},
    {"is_neck_torque_enabled", no_arguments<&QuilletMotorController::is_neck_torque_enabled>, METH_NOARGS,
     QMC_DOC("is_neck_torque_enabled", "$self",
             "Last commanded torque-enable state for the neck (in-memory; the\nDamiao firmware "
             "does not expose a readable enable register).")},
    {"enable_arms", fastcall(enable_method<&QuilletMotorController::enable_arms, kEnableArms>),
     kArgs, QMC_DOC("enable_arms", "$self, enable", "Enable or disable the arm motors.")},
    {"enable_nose", fastcall(enable_method<&QuilletMotorController::enable_nose, kEnableNose>),
     kArgs, QMC_DOC("enable_nose", "$self, enable", "Enable or disable the nose motors.")},
    {"write_raw_packet", fastcall(write_raw_packet), kArgs,
     QMC_DOC("write_raw_packet", "$self, data",
             "Write raw packet data to the serial port.\n\n# Arguments\n* `data` - Byte array of "
             "raw packet data to send.")},
    {"__enter__", enter, METH_NOARGS,
     QMC_DOC("__enter__", "$self",
             "Use the controller in a `with` block; its end releases both buses, as\ndropping the "
             "object does:\n\n    with QuilletMotorController(\"/dev/ttyUSB0\", \"can0\") as "
             "controller:\n        print(controller.read_all_positions())\n\nThe RuntimeError of a "
             "failed operation keeps its message and carries the\ncause in notes (`__notes__`): the "
             "bus, the joint and its id, the lower error.")},
    {"__exit__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(exit)), METH_FASTCALL,
     QMC_DOC("__exit__", "$self, exc_type, exc_value, traceback, /",
             "Release the serial port and the CAN socket, as dropping the object does: the\nport "
             "can be opened again at once, and every method then raises RuntimeError.\nAn exception "
             "raised in the block goes on.")},
    {},
};

}  // namespace

#ifdef QMC_TEST_SURFACE
PyObject* fault_inside_controller(PyObject* controller) {
  if (!PyObject_TypeCheck(controller, class_type<ControllerObject>)) {
    PyErr_SetString(PyExc_TypeError, "a QuilletMotorController is required");
    return nullptr;
  }
  return guarded([&]() -> PyObject* {
    return locked(controller, [](QuilletMotorController&) -> controller::Result<void> {
      throw std::logic_error("broken invariant inside an operation");
    });
  });
}
#endif

bool add_controller_class(PyObject* module) {
  return add_class<ControllerObject>(module, {.name = "QuilletMotorController",
                                              .signature = "(serialport=None, can_bus=...)",
                                              .constructor = create,
                                              .methods = kMethods});
}

}  // namespace quillet::py

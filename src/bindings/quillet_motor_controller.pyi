# Failures of both classes raise RuntimeError with fixed messages; each also carries what is known
# of its cause (the bus, the joint and its id, the lower error, the attempts) in notes, PEP 678's
# `__notes__`, for people to read.
from collections.abc import Sequence
from datetime import timedelta
from types import TracebackType
from typing import Literal, Self, final

__all__ = [
    "QuilletMotorController",
    "QuilletPyControlLoop",
    "QuilletTorsoPosition",
    "ControlLoopStats",
]

@final
class QuilletMotorController:
    def __new__(
        cls, serialport: str | None = None, can_bus: str = "can0"
    ) -> QuilletMotorController:
        """Create a new motor controller for the given serial port and CAN bus.

        # Arguments
        * `serialport` - Path to (Unix) or COM ID (Windows) of the serial port.
          Pass `None` to build a neck-only (CAN) controller; arm/nose methods
          will then raise an exception.
        * `can_bus` - SocketCAN interface name for the neck Damiao motors (default `"can0"`).
        """

    def is_torque_enabled(self) -> bool:
        """Is torque enabled on all motors"""

    def enable_torque(self) -> None:
        """Enable torque on all motors."""

    def enable_torque_on_ids(self, ids: Sequence[int]) -> None:
        """Enable torque on ids"""

    def disable_torque(self) -> None:
        """Disable torque on all motors."""

    def disable_torque_on_ids(self, ids: Sequence[int]) -> None:
        """Disable torque on ids"""

    def read_all_positions(self) -> list[float]:
        """Read all motor positions as a 7-element array.
        Order: [left_arm_pitch, left_arm_yaw, right_arm_pitch, right_arm_yaw, nose_top, nose_left, nose_right]
        """

    def set_all_goal_positions(self, positions: Sequence[float]) -> None:
        """Set goal positions for all motors (7 values).

        # Arguments
        * `positions` - Array of 7 goal positions
          (left_arm_pitch, left_arm_yaw, right_arm_pitch, right_arm_yaw, nose_top, nose_left, nose_right).
        """

    def set_left_arm_position(self, position: Sequence[float]) -> None:
        """Set goal positions for the left arm (2 values: pitch, yaw)."""

    def set_right_arm_position(self, position: Sequence[float]) -> None:
        """Set goal positions for the right arm (2 values: pitch, yaw)."""

    def set_arms_position(self, position: Sequence[float]) -> None:
        """Set goal positions for both arms (4 values: left pitch, left yaw, right pitch, right yaw)."""

    def set_nose_position(self, position: Sequence[float]) -> None:
        """Set goal positions for the nose (3 values)."""

    def set_neck_position(self, position: Sequence[float]) -> list[float]:
        """Set goal positions for the neck (3 values: yaw, pitch, roll). Returns
        the observed positions reported by the motor replies.
        """

    def set_neck_yaw_position(self, position: float) -> float: ...
    def set_neck_pitch_position(self, position: float) -> float: ...
    def set_neck_roll_position(self, position: float) -> float: ...
    def neck_position_limits(self) -> list[tuple[float, float]]:
        """Hard safety bounds (lower, upper) in rad for each neck joint.
        Order: [yaw, pitch, roll]. Every neck setter clamps to these bounds
        before commanding the motor.
        """

    def read_neck_positions(self) -> list[float]:
        """Read the current neck positions (yaw, pitch, roll) via a Damiao
        feedback request.
        """

    def set_neck_gains(self, index: int, kp: float, kd: float) -> None:
        """Override the MIT impedance gains (kp, kd) for a single neck joint.
        `index`: 0=yaw, 1=pitch, 2=roll.
        """

    def neck_home(
        self,
        speed: float = 0.4,
        tolerance: float = 0.15,
        kp: float | None = None,
        kd: float | None = None,
    ) -> list[float]:
        """Home the 3 neck joints to the nearest physical zero.

        Snaps each goal to the nearest multiple of 2π of the joint's current
        reported position — after a power cycle the Damiao multi-turn counter
        resets, so commanding "go to 0" naively could spin the head a full
        turn. Rounding keeps travel within ±π and lands at a physically
        equivalent zero.

        Enables neck torque if it isn't already (does **not** disable on
        exit — caller owns torque lifecycle). Ramps at `speed` rad/s on a
        10 ms cycle and returns the observed positions once every joint is
        within `tolerance` rad of its goal. Raises on timeout.

        `kp` / `kd`: optional overrides applied to all three joints for the
        duration of homing (and left in place afterwards). `None` keeps the
        per-joint defaults baked into the controller.
        """

    def enable_neck(self, enable: bool) -> None:
        """Enable or disable the neck motors. On enable, also forces each motor
        into MIT control mode.
        """

    def is_neck_torque_enabled(self) -> bool:
        """Last commanded torque-enable state for the neck (in-memory; the
        Damiao firmware does not expose a readable enable register).
        """

    def enable_arms(self, enable: bool) -> None:
        """Enable or disable the arm motors."""

    def enable_nose(self, enable: bool) -> None:
        """Enable or disable the nose motors."""

    def write_raw_packet(self, data: bytes) -> None:
        """Write raw packet data to the serial port.

        # Arguments
        * `data` - Byte array of raw packet data to send.
        """

    def __enter__(self) -> Self:
        """Use the controller in a `with` block; its end releases both buses, as
        dropping the object does:

            with QuilletMotorController("/dev/ttyUSB0", "can0") as controller:
                print(controller.read_all_positions())

        The RuntimeError of a failed operation keeps its message and carries the
        cause in notes (`__notes__`): the bus, the joint and its id, the lower error.
        """

    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc_value: BaseException | None,
        traceback: TracebackType | None,
        /,
    ) -> None:
        """Release the serial port and the CAN socket, as dropping the object does: the
        port can be opened again at once, and every method then raises RuntimeError.
        An exception raised in the block goes on.
        """

@final
class QuilletPyControlLoop:
    def __new__(
        cls,
        serialport: str | None,
        read_position_loop_period: timedelta,
        can_bus: str = "can0",
        allowed_retries: int = 5,
        stats_pub_period: timedelta | None = None,
        voltage_rampup_timeout: timedelta = timedelta(seconds=30),
    ) -> QuilletPyControlLoop:
        """Create a new control loop for the motor controller.

        # Arguments
        * `serialport` - Path to (Unix) or COM ID (Windows) of the serial port.
          Pass `None` to build a neck-only (CAN) loop — arm/nose commands then
          raise on use.
        * `read_position_loop_period` - Period between control loop updates.
        * `can_bus` - SocketCAN interface name for the neck Damiao motors (default `"can0"`).
        * `allowed_retries` - Number of allowed retries for reading positions.
        * `stats_pub_period` - Optional period for publishing stats.
        * `voltage_rampup_timeout` - Maximum time to wait for the 12V rail to stabilize.
        """

    def close(self) -> None:
        """Close the control loop and release resources."""

    def get_motor_name_id(self) -> dict[str, int]:
        """Get the id/name motors used in this controller."""

    def get_last_position(self) -> QuilletTorsoPosition:
        """Get the last successfully read motor positions."""

    def set_all_goal_positions(self, positions: QuilletTorsoPosition) -> None:
        """Set goal positions for all motors."""

    def set_left_arm_position(self, position: Sequence[float]) -> None:
        """Set goal positions for the left arm (2 values: pitch, yaw)."""

    def set_right_arm_position(self, position: Sequence[float]) -> None:
        """Set goal positions for the right arm (2 values: pitch, yaw)."""

    def set_arms_position(self, position: Sequence[float]) -> None:
        """Set goal positions for both arms (4 values)."""

    def set_nose_position(self, position: Sequence[float]) -> None:
        """Set goal positions for the nose (3 values)."""

    def set_neck_position(self, position: Sequence[float]) -> None:
        """Set goal positions for the neck (3 values: yaw, pitch, roll)."""

    def set_neck_yaw_position(self, position: float) -> None: ...
    def set_neck_pitch_position(self, position: float) -> None: ...
    def set_neck_roll_position(self, position: float) -> None: ...
    def enable_neck(self, enable: bool) -> None:
        """Enable or disable the neck motors."""

    def is_torque_enabled(self) -> bool:
        """Check torque enabled status."""

    def enable_torque(self) -> None:
        """Enable torque on all motors."""

    def enable_torque_on_ids(self, ids: Sequence[int]) -> None:
        """Enable torque on ids."""

    def disable_torque(self) -> None:
        """Disable torque on all motors."""

    def disable_torque_on_ids(self, ids: Sequence[int]) -> None:
        """Disable torque on ids."""

    def enable_arms(self, enable: bool) -> None:
        """Enable or disable the arm motors."""

    def enable_nose(self, enable: bool) -> None:
        """Enable or disable the nose motors."""

    def get_stats(self) -> ControlLoopStats | None:
        """Get the latest control loop statistics, if available."""

    def async_read_raw_bytes(self, id: int, addr: int, length: int) -> bytes:
        """Perform an asynchronous raw read of motor bytes."""

    def async_write_raw_bytes(self, id: int, addr: int, data: Sequence[int]) -> None:
        """Perform an asynchronous raw write of motor bytes."""

    def async_read_pid_gains(self, id: int) -> tuple[int, int, int]:
        """Read PID gains for a given motor id. Returns (P, I, D)."""

    def async_write_pid_gains(self, id: int, p: int, i: int, d: int) -> None:
        """Write PID gains for a given motor id."""

    def write_raw_packet(self, data: bytes) -> bytes: ...

    def __enter__(self) -> Self:
        """Use the loop in a `with` block; its end closes the loop:

            with QuilletPyControlLoop("/dev/ttyUSB0", timedelta(milliseconds=4)) as loop:
                print(loop.get_last_position())

        The RuntimeError of a failed start-up or position read keeps its message
        and carries the cause in notes (`__notes__`): the step, the bus, the joint
        and its id, the lower error, the attempts.
        """

    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc_value: BaseException | None,
        traceback: TracebackType | None,
        /,
    ) -> None:
        """Close the loop, as close() does. An exception raised in the block goes on."""

@final
class QuilletTorsoPosition:
    def __new__(
        cls,
        left_arm: Sequence[float],
        right_arm: Sequence[float],
        nose: Sequence[float],
        neck: Sequence[float],
    ) -> QuilletTorsoPosition: ...
    @property
    def left_arm(self) -> list[float]: ...
    @property
    def right_arm(self) -> list[float]: ...
    @property
    def nose(self) -> list[float]: ...
    @property
    def neck(self) -> list[float]:
        """Neck joint positions in rad: [yaw, pitch, roll]."""

    @property
    def timestamp(self) -> float: ...

@final
class ControlLoopStats:
    @property
    def period(self) -> list[float]: ...
    @property
    def read_dt(self) -> list[float]: ...
    @property
    def write_dt(self) -> list[float]: ...
    def sample_count(self, field: Literal["period", "read_dt", "write_dt"]) -> int:
        """Number of samples in the list `field`: "period", "read_dt" or "write_dt"."""

    def samples_since(self, field: Literal["period", "read_dt", "write_dt"], start: int) -> list[float]:
        """The samples of the list `field` from index `start` on, oldest first: what a
        reader has not seen yet when it has seen `start` of them. Empty when `start` is
        at or past the end."""

"""The torso driven as a user would drive it without the module: the servo maker's SDK
(`scservo_sdk`, from the PyPI package feetech-servo-sdk, over pyserial) for the seven servos and
python-can's socketcan bus for the three neck motors.

Written from the SDK's own examples: a port handler and a packet handler, one group sync read per
servo model for the present positions, a group sync write for goal positions; on the CAN bus, one
feedback request per neck motor, each answered by the motor's state frame.

Runs only in the peer environment (see peer_env.py); it imports nothing of the project.
"""

from __future__ import annotations

import math
import time

import can
from scservo_sdk import (
    COMM_SUCCESS,
    SCS_HIBYTE,
    SCS_LOBYTE,
    GroupSyncRead,
    GroupSyncWrite,
    PacketHandler,
    PortHandler,
)

BAUD_RATE = 1_000_000
ADDR_GOAL_POSITION = 42
ADDR_PRESENT_POSITION = 56
ARM_IDS = (1, 2, 3, 4)  # SM40BL
NOSE_IDS = (5, 6, 7)  # STS3025BL
STEPS_PER_TURN = 4096

NECK_IDS = (1, 2, 3)  # yaw, pitch, roll; command id = feedback id
NECK_P_MAX = 12.5  # rad, the motors' MIT position range
NECK_REQUEST_ID = 0x7FF
NECK_FEEDBACK_TIMEOUT = 0.02


class PeerError(RuntimeError):
    pass


class PeerTorso:
    def __init__(self, serial_path: str, can_channel: str) -> None:
        self.port = PortHandler(serial_path)
        if not self.port.openPort() or not self.port.setBaudRate(BAUD_RATE):
            raise PeerError(f"cannot open {serial_path}")
        # Both models store words low byte first.
        self.packets = PacketHandler(0)
        self.arm_positions = GroupSyncRead(self.port, self.packets, ADDR_PRESENT_POSITION, 2)
        for servo_id in ARM_IDS:
            self.arm_positions.addParam(servo_id)
        self.nose_positions = GroupSyncRead(self.port, self.packets, ADDR_PRESENT_POSITION, 2)
        for servo_id in NOSE_IDS:
            self.nose_positions.addParam(servo_id)
        self.arm_goals = GroupSyncWrite(self.port, self.packets, ADDR_GOAL_POSITION, 2)
        self.bus = can.Bus(interface="socketcan", channel=can_channel)

    def close(self) -> None:
        self.bus.shutdown()
        self.port.closePort()

    def _read_group(self, group: GroupSyncRead, ids: tuple[int, ...]) -> list[float]:
        result = group.txRxPacket()
        if result != COMM_SUCCESS:
            raise PeerError(self.packets.getTxRxResult(result))
        positions = []
        for servo_id in ids:
            if not group.isAvailable(servo_id, ADDR_PRESENT_POSITION, 2):
                raise PeerError(f"no position from servo {servo_id}")
            steps = group.getData(servo_id, ADDR_PRESENT_POSITION, 2)
            if steps & 0x8000:
                steps -= 0x10000
            positions.append(steps * 2 * math.pi / STEPS_PER_TURN - math.pi)
        return positions

    def read_servo_positions(self) -> list[float]:
        """Arms then nose, radians."""
        return self._read_group(self.arm_positions, ARM_IDS) + self._read_group(self.nose_positions, NOSE_IDS)

    def read_neck_positions(self) -> list[float]:
        """Yaw, pitch, roll, radians."""
        positions = []
        for motor_id in NECK_IDS:
            request = can.Message(arbitration_id=NECK_REQUEST_ID, is_extended_id=False,
                                  data=[motor_id & 0xFF, motor_id >> 8, 0xCC, 0, 0, 0, 0, 0])
            self.bus.send(request)
            deadline = time.monotonic() + NECK_FEEDBACK_TIMEOUT
            while True:
                left = deadline - time.monotonic()
                reply = self.bus.recv(timeout=left) if left > 0 else None
                if reply is None:
                    raise PeerError(f"no feedback from neck motor {motor_id}")
                if reply.arbitration_id == motor_id and not reply.is_extended_id and len(reply.data) >= 8:
                    break
            raw = (reply.data[1] << 8) | reply.data[2]
            positions.append(raw * 2 * NECK_P_MAX / 65535 - NECK_P_MAX)
        return positions

    def read_ten(self) -> list[float]:
        return self.read_servo_positions() + self.read_neck_positions()

    def write_arms(self, goals: list[float]) -> None:
        """Goal positions of the four arm servos, radians, in one sync write."""
        self.arm_goals.clearParam()
        for servo_id, goal in zip(ARM_IDS, goals):
            steps = int((goal + math.pi) * STEPS_PER_TURN / (2 * math.pi)) & 0xFFFF
            self.arm_goals.addParam(servo_id, [SCS_LOBYTE(steps), SCS_HIBYTE(steps)])
        result = self.arm_goals.txPacket()
        if result != COMM_SUCCESS:
            raise PeerError(self.packets.getTxRxResult(result))

"""The same reads and writes through the module, for the benchmark's worker."""

from __future__ import annotations

from quillet_motor_controller import QuilletMotorController


class ModuleTorso:
    def __init__(self, serial_path: str, can_channel: str) -> None:
        self.controller = QuilletMotorController(serial_path, can_channel)

    def close(self) -> None:
        del self.controller

    def read_ten(self) -> list[float]:
        return self.controller.read_all_positions() + self.controller.read_neck_positions()

    def write_arms(self, goals: list[float]) -> None:
        self.controller.set_arms_position(goals)

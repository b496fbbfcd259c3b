"""Interpreter shutdown while other threads are inside the controller neither hangs nor crashes."""

import os
import subprocess
import sys

import pytest

SCRIPT = r"""
import logging, sys, threading, time
from quillet_motor_controller import QuilletMotorController

controller = QuilletMotorController(sys.argv[1], sys.argv[2])

class Busy(logging.Handler):
    def emit(self, record):
        sum(range(2000))  # long enough for the interpreter to switch threads inside a record

logging.getLogger("quillet_motor_controller").addHandler(Busy())

def drive():
    while True:
        controller.set_neck_position([0.9, 0.9, 0.9])  # two clamp warnings each time
        controller.read_all_positions()

for _ in range(3):
    threading.Thread(target=drive, daemon=True).start()
time.sleep(0.2)
print("exiting", flush=True)
"""


@pytest.mark.parametrize("attempt", range(4))
def test_exit_with_daemon_threads_driving_and_logging(torso, attempt):
    env = dict(os.environ)  # LD_PRELOAD of the test session reaches the child
    done = subprocess.run(
        [sys.executable, "-c", SCRIPT, torso.serial_path, torso.can_interface],
        env=env, capture_output=True, text=True, timeout=30,
    )
    assert done.returncode == 0, done.stderr
    assert done.stdout == "exiting\n"


PARK_AT_EXIT = r"""
import atexit, logging, sys
logging.basicConfig(stream=sys.stdout, format="%(message)s")
atexit.register(lambda: controller.set_neck_position([0.9, 0.0, 0.0]))  # before the import
from quillet_motor_controller import QuilletMotorController
controller = QuilletMotorController(None, sys.argv[1])
"""


def test_an_exit_handler_registered_before_the_import_is_heard(torso):
    """Its clamp warning was dropped, although the neck was commanded."""
    done = subprocess.run([sys.executable, "-c", PARK_AT_EXIT, torso.can_interface],
                          env=dict(os.environ), capture_output=True, text=True, timeout=30)
    assert done.returncode == 0, done.stderr
    assert done.stdout.startswith("neck_yaw requested position 0.9000 rad out of safe range")
    assert torso.motor(1).state().last_command.position == pytest.approx(0.5, abs=2e-4)

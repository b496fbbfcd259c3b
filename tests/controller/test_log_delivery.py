"""Log records of a controller's operations reach their handlers once the controller is free, and
what a handler raises is what the method raises."""

import contextlib
import logging
import os
import subprocess
import sys
import threading

import pytest

NECK_TARGET = "quillet_motor_controller.controller"


@contextlib.contextmanager
def handling(handler):
    logger = logging.getLogger(NECK_TARGET)
    logger.addHandler(handler)
    try:
        yield
    finally:
        logger.removeHandler(handler)


def run(script, torso):
    """Runs `script` with the torso's CAN interface as argv[1], in a process of its own, since a
    regression hangs it for good."""
    return subprocess.run([sys.executable, "-c", script, torso.can_interface], env=dict(os.environ),
                          capture_output=True, text=True, timeout=60)


PARK_FROM_A_HANDLER = r"""
import logging, sys
from quillet_motor_controller import QuilletMotorController

controller = QuilletMotorController(None, sys.argv[1])

class Park(logging.Handler):
    def emit(self, record):
        if record.getMessage().startswith("neck_yaw requested"):
            controller.set_neck_position([0.0, 0.0, 0.0])
            print("parked", flush=True)

logging.getLogger("quillet_motor_controller.controller").addHandler(Park())
controller.set_neck_yaw_position(0.9)
print("returned", flush=True)
"""


def test_a_handler_may_use_the_controller_whose_record_it_handles(torso, client_frames):
    """A handler that parked the neck on a clamp warning waited for ever for the lock its own
    thread held."""
    done = run(PARK_FROM_A_HANDLER, torso)
    assert done.returncode == 0, done.stderr
    assert done.stdout == "parked\nreturned\n"
    assert [can_id for can_id, _ in client_frames()] == [1, 1, 2, 3]  # the command, then the park


HANDLER_LOCK_HOLDER = r"""
import logging, sys, threading
from quillet_motor_controller import QuilletMotorController

controller = QuilletMotorController(None, sys.argv[1])
handler_lock = threading.Lock()
locked, delivering = threading.Event(), threading.Event()

class Guarded(logging.Handler):
    def emit(self, record):
        delivering.set()
        with handler_lock:
            pass

def holder_of_the_handler_lock():
    with handler_lock:
        locked.set()
        delivering.wait()
        controller.read_neck_positions()

def logging_call():
    locked.wait()
    controller.set_neck_yaw_position(0.9)

logging.getLogger("quillet_motor_controller.controller").addHandler(Guarded())
threads = [threading.Thread(target=holder_of_the_handler_lock), threading.Thread(target=logging_call)]
for thread in threads:
    thread.start()
for thread in threads:
    thread.join()
print("both returned", flush=True)
"""


def test_a_thread_holding_a_handlers_lock_may_use_the_controller(torso):
    """One thread delivered a record under the controller's lock while another, holding the
    handler's lock, waited for the controller: both hung until SIGKILL."""
    done = run(HANDLER_LOCK_HOLDER, torso)
    assert done.returncode == 0, done.stderr
    assert done.stdout == "both returned\n"


class Boom(Exception):
    pass


@pytest.mark.parametrize("error", [Boom("from a handler"), KeyboardInterrupt()])
def test_what_a_handler_raises_is_what_the_method_raises(torso, controller, client_frames, error):
    """The call failed with SystemError "returned a result with an exception set", and later calls
    returned with the exception still set, to surface in an unrelated C call."""

    class Raising(logging.Handler):
        def emit(self, record):
            raise error

    torso.clear_traffic()
    with handling(Raising()), pytest.raises(type(error)) as raised:
        controller.set_neck_yaw_position(0.9)
    assert raised.value is error
    assert [can_id for can_id, _ in client_frames()] == [1]  # the command is not undone
    assert len(controller.read_neck_positions()) == 3
    lock = threading.Lock()
    assert lock.acquire(blocking=False)  # no exception left pending to surface here


REENTRY = r"""
import signal, sys
from quillet_motor_controller import QuilletMotorController

controller = QuilletMotorController(None, sys.argv[1])

class Stop(Exception):
    pass

def call_the_same_controller(signum, frame):
    try:
        controller.read_neck_positions()
    except RuntimeError as error:
        print(error, flush=True)
    raise Stop

signal.signal(signal.SIGALRM, call_the_same_controller)
signal.setitimer(signal.ITIMER_REAL, 0.2)
try:
    controller.neck_home(speed=50.0, tolerance=0.1)
except Stop:
    print("stopped", flush=True)
"""


def test_a_call_from_a_signal_handler_inside_homing_is_refused_at_once(torso, client_frames):
    """A signal handler that called the controller between two homing cycles waited for ever for
    its own thread."""
    torso.motor(2).set_position(0.3)
    torso.motor(2).set_blocked(True)  # homing would go on for 20 s
    done = run(REENTRY, torso)
    assert done.returncode == 0, done.stderr
    assert done.stdout == "QuilletMotorController is already in use by this thread\nstopped\n"
    feedback_requests = [data for can_id, data in client_frames() if can_id == 0x7FF and data[2] == 0xCC]
    assert len(feedback_requests) == 3  # homing's own read only

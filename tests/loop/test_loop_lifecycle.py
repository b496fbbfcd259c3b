"""close, release and interpreter exit of QuilletPyControlLoop; waits that must not keep the loop
thread from logging; reference counts."""

import gc
import os
import subprocess
import sys
import textwrap
import tracemalloc
from datetime import timedelta

import pytest

from quillet_motor_controller import QuilletMotorController, QuilletPyControlLoop, QuilletTorsoPosition

MS = timedelta(milliseconds=1)
FAILURE = "Motor communication error! Check connections and power supply."


def test_close_runs_what_was_queued_then_every_method_says_so(torso, start_loop, host_packets):
    loop = start_loop(period=timedelta(seconds=1), stats_pub_period=MS)
    for i in range(50):
        loop.set_nose_position([0.01 * i] * 3)
    loop.close()
    nose_writes = [p for p in host_packets() if p[4] == 0x83 and p[5] == 42]
    assert len(nose_writes) == 50
    loop.close()  # at once, again
    # The port and the socket were released with the thread.
    QuilletMotorController(torso.serial_path, torso.can_interface)

    position = loop.get_last_position()
    assert isinstance(position, QuilletTorsoPosition)
    assert loop.is_torque_enabled() is False
    assert loop.get_stats() is not None
    assert loop.get_motor_name_id()["left_arm_pitch"] == 1
    record = QuilletTorsoPosition([0, 0], [0, 0], [0, 0, 0], [0, 0, 0])
    queueing = [
        lambda: loop.set_all_goal_positions(record), lambda: loop.set_left_arm_position([0, 0]),
        lambda: loop.set_right_arm_position([0, 0]), lambda: loop.set_arms_position([0] * 4),
        lambda: loop.set_nose_position([0] * 3), lambda: loop.set_neck_position([0] * 3),
        lambda: loop.set_neck_yaw_position(0), lambda: loop.set_neck_pitch_position(0),
        lambda: loop.set_neck_roll_position(0), lambda: loop.enable_neck(True), loop.enable_torque,
        lambda: loop.enable_torque_on_ids([1]), loop.disable_torque,
        lambda: loop.disable_torque_on_ids([1]), lambda: loop.enable_arms(True),
        lambda: loop.enable_nose(False), lambda: loop.write_raw_packet(b"\x01"),
    ]
    for call in queueing:
        with pytest.raises(RuntimeError, match="^channel closed$"):
            call()
    for call, prefix in [
        (lambda: loop.async_read_raw_bytes(1, 56, 2), "Failed to read raw bytes: "),
        (lambda: loop.async_read_pid_gains(1), "Failed to read pid gains: "),
        (lambda: loop.async_write_raw_bytes(1, 21, [1]), "Failed to write raw bytes: "),
        (lambda: loop.async_write_pid_gains(1, 1, 2, 3), "Failed to write pid gains: "),
    ]:
        with pytest.raises(RuntimeError) as raised:
            call()
        assert str(raised.value) == prefix + FAILURE


def test_releasing_the_last_reference_stops_the_loop(torso, host_packets):
    loop = QuilletPyControlLoop(torso.serial_path, timedelta(seconds=1), can_bus=torso.can_interface)
    for i in range(10):
        loop.set_nose_position([0.01 * i] * 3)
    del loop  # closes: the queued commands run, the thread ends, the port is released
    assert len([p for p in host_packets() if p[4] == 0x83 and p[5] == 42]) == 10
    QuilletMotorController(torso.serial_path, torso.can_interface)


def run_python(code, torso, timeout=60):
    env = dict(os.environ)  # the SocketCAN stand-in preload of the test session reaches the child
    env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code), torso.serial_path, torso.can_interface],
                          capture_output=True, text=True, timeout=timeout, env=env)


SLOW_HANDLER = """
    import logging, sys, threading, time
    from datetime import timedelta
    from quillet_motor_controller import QuilletPyControlLoop

    class Slow(logging.Handler):
        def emit(self, record):
            time.sleep(0.002)  # lets other Python threads run in the middle of a record

    logging.getLogger("quillet_motor_controller").addHandler(Slow())
    loop = QuilletPyControlLoop(sys.argv[1], timedelta(milliseconds=5), can_bus=sys.argv[2])
"""


def test_waits_on_the_loop_never_block_its_log_records(torso):
    done = run_python(SLOW_HANDLER + """
    def queue():
        for _ in range(300):
            loop.set_neck_yaw_position(2.0)  # each is clamped and logs a warning on the loop thread
    workers = [threading.Thread(target=queue) for _ in range(2)]
    for w in workers:
        w.start()
    for _ in range(5):
        loop.write_raw_packet(bytes([0xFF, 0xFF, 0x01, 0x02, 0x01, 0xFB]))
        loop.async_read_raw_bytes(1, 56, 2)
    for w in workers:
        w.join()
    loop.close()
    print("done")
    """, torso)
    assert done.returncode == 0, done.stderr
    assert done.stdout == "done\n"


EXIT_CASES = {
    "held-by-a-global": "",
    "daemon-thread-queueing": """
    def queue():
        while True:
            loop.set_neck_yaw_position(2.0)
    threading.Thread(target=queue, daemon=True).start()
    time.sleep(0.2)
    """,
    "daemon-thread-waiting-on-a-reply": """
    def ask():
        while True:
            loop.write_raw_packet(bytes([0xFF, 0xFF, 0x01, 0x02, 0x01, 0xFB]))
    for _ in range(2):
        threading.Thread(target=ask, daemon=True).start()
    time.sleep(0.2)
    """,
    "reference-cycle": """
    cycle = [loop]
    cycle.append(cycle)
    del loop
    """,
}


@pytest.mark.parametrize("attempt", range(3))
@pytest.mark.parametrize("case", EXIT_CASES)
def test_interpreter_exit_with_a_running_loop(torso, case, attempt):
    done = run_python(SLOW_HANDLER + EXIT_CASES[case] + """
    print("exiting", flush=True)
    sys.exit(3)
    """, torso, timeout=30)
    assert (done.returncode, done.stdout, done.stderr) == (3, "exiting\n", "")


def test_repeated_calls_keep_reference_counts_and_memory_flat(torso, start_loop):
    loop = start_loop(period=timedelta(milliseconds=50), stats_pub_period=MS)
    goals = [0.1, 0.2]
    ids = [1, 2, 5]
    raw = bytes([0xFF, 0xFF, 0x01, 0x02, 0x01, 0xFB])

    def cycle():
        loop.set_left_arm_position(goals)
        loop.enable_torque_on_ids(ids)
        loop.get_last_position()
        loop.get_stats()
        loop.get_motor_name_id()
        loop.write_raw_packet(raw)
        with pytest.raises(TypeError):
            loop.enable_arms(1)

    for _ in range(20):
        cycle()
    objects = (goals, ids, raw, goals[0])
    before = [sys.getrefcount(o) for o in objects]
    gc.collect()
    tracemalloc.start()
    start, _ = tracemalloc.get_traced_memory()
    for _ in range(200):
        cycle()
    gc.collect()
    end, _ = tracemalloc.get_traced_memory()
    tracemalloc.stop()
    assert [sys.getrefcount(o) for o in objects] == before
    assert end - start < 20_000


ON_ITS_OWN_THREAD = """
    import gc, logging, sys, time
    from datetime import timedelta
    from quillet_motor_controller import QuilletMotorController, QuilletPyControlLoop

    loop = QuilletPyControlLoop(sys.argv[1], timedelta(milliseconds=5), can_bus=sys.argv[2])

    def on_clamp(act):
        class OnClamp(logging.Handler):  # runs on the loop thread, which logs the clamp warnings
            def emit(self, record):
                if record.getMessage().startswith("neck_yaw requested"):
                    act()
        logging.getLogger("quillet_motor_controller.controller").addHandler(OnClamp())

    def released():
        deadline = time.monotonic() + 10
        while True:
            try:
                return QuilletMotorController(sys.argv[1], sys.argv[2])
            except RuntimeError:
                if time.monotonic() > deadline:
                    raise
                time.sleep(0.05)
"""

RELEASED_ON_ITS_OWN_THREAD = {
    "a-handler-closes-it": """
    on_clamp(lambda: loop.close())
    loop.set_neck_yaw_position(2.0)
    time.sleep(0.5)
    loop.close()
    """,
    "a-handler-drops-the-last-reference": """
    def drop():
        global loop
        loop = None
    on_clamp(drop)
    loop.set_neck_yaw_position(2.0)
    time.sleep(0.5)
    """,
    "the-collector-frees-it-while-the-loop-logs": """
    gc.set_threshold(1)
    cycle = [loop]
    cycle.append(cycle)
    for _ in range(100):
        loop.set_neck_yaw_position(2.0)
    del loop, cycle
    time.sleep(2)
    """,
}


@pytest.mark.parametrize("case", RELEASED_ON_ITS_OWN_THREAD)
def test_a_loop_closed_or_released_on_its_own_thread_ends_by_itself(torso, case):
    """close() joined the thread from inside it: std::thread threw while unwinding, and SIGABRT."""
    done = run_python(ON_ITS_OWN_THREAD + RELEASED_ON_ITS_OWN_THREAD[case] + """
    released()  # the thread drained, released its controller and ended
    print("released", flush=True)
    """, torso, timeout=30)
    assert (done.returncode, done.stdout) == (0, "released\n"), done.stderr


def test_waiting_on_the_loop_from_its_own_thread_is_refused_at_once(torso, host_packets):
    """The loop thread waited for itself for ever: positions froze and a later close hung."""
    ping = bytes([0xFF, 0xFF, 0x09, 0x02, 0x01, 0xF3])  # of no servo: the loop's start-up never sends it
    done = run_python(ON_ITS_OWN_THREAD + f"""
    seen = []
    def wait_on_the_loop():
        if seen:
            return
        for call in (lambda: loop.write_raw_packet({ping!r}), lambda: loop.async_read_raw_bytes(1, 56, 2),
                     lambda: loop.async_read_pid_gains(1)):
            try:
                seen.append(repr(call()))
            except RuntimeError as error:
                seen.append(str(error))
        for _ in range(100):
            loop.enable_arms(False)  # fills the queue: the loop is busy in this very record
        try:
            seen.append(repr(loop.set_nose_position([0.0, 0.0, 0.0])))
        except RuntimeError as error:
            seen.append(str(error))
    on_clamp(wait_on_the_loop)
    loop.set_neck_yaw_position(2.0)
    while len(seen) < 4:
        time.sleep(0.01)
    loop.close()
    print("\\n".join(seen), flush=True)
    """, torso, timeout=30)
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines() == [
        f"{method}: cannot wait for the control loop from its own thread"
        for method in ("write_raw_packet", "async_read_raw_bytes", "async_read_pid_gains", "set_nose_position")]
    sent = host_packets()
    assert ping not in sent  # nothing of the refused calls was queued
    assert not [p for p in sent if p[4] == 0x02 and p[5] in (56, 21)]
    assert not [p for p in sent if p[4] == 0x83 and p[5] == 42]
    assert len([p for p in sent if p[4] == 0x83 and p[5] == 40]) == 100  # the 100 that fitted


FORK = """
    import os, signal
    from quillet_motor_controller import QuilletTorsoPosition
    record = QuilletTorsoPosition([0, 0], [0, 0], [0, 0, 0], [0, 0, 0])
    CALLS = {
        "close": (), "get_motor_name_id": (), "get_last_position": (), "is_torque_enabled": (),
        "get_stats": (), "set_all_goal_positions": (record,), "set_left_arm_position": ([0, 0],),
        "set_right_arm_position": ([0, 0],), "set_arms_position": ([0] * 4,), "set_nose_position": ([0] * 3,),
        "set_neck_position": ([0] * 3,), "set_neck_yaw_position": (0,), "set_neck_pitch_position": (0,),
        "set_neck_roll_position": (0,), "enable_neck": (True,), "enable_torque": (), "disable_torque": (),
        "enable_torque_on_ids": ([1],), "disable_torque_on_ids": ([1],), "enable_arms": (True,),
        "enable_nose": (True,), "async_read_raw_bytes": (1, 56, 2), "async_write_raw_bytes": (1, 21, [1]),
        "async_read_pid_gains": (1,), "async_write_pid_gains": (1, 1, 2, 3),
        "write_raw_packet": (bytes([0xFF, 0xFF, 0x01, 0x02, 0x01, 0xFB]),),
    }
    assert set(CALLS) == {name for name in dir(loop) if not name.startswith("_")}
    child = os.fork()
    if child == 0:
        signal.alarm(10)
        refused = []
        for name, args in CALLS.items():
            try:
                getattr(loop, name)(*args)
            except RuntimeError as error:
                refused.append(str(error))
        del loop
        gc.collect()
        ok = len(refused) == len(CALLS) and all("fork" in text for text in refused)
        os._exit(0 if ok else 1)
    _, status = os.waitpid(child, 0)
    print(os.waitstatus_to_exitcode(status), flush=True)
    loop.set_neck_yaw_position(0.1)  # the parent's loop is untouched
    loop.write_raw_packet(bytes([0xFF, 0xFF, 0x01, 0x02, 0x01, 0xFB]))
    loop.close()
    print("closed", flush=True)
"""


def test_a_loop_used_in_a_fork_child_refuses_every_call(torso):
    """The child queued commands that no thread would ever send, then blocked for ever."""
    done = run_python(ON_ITS_OWN_THREAD + FORK, torso, timeout=30)
    assert (done.returncode, done.stdout) == (0, "0\nclosed\n"), done.stderr

"""The bridge from the module's log records to Python's logging.

The bridge caches each target's logger and level filter for the rest of the process, so every test
here logs to a target of its own; the cases that need the module's real targets, or interpreter
shutdown, run in a fresh interpreter."""

import logging
import os
import subprocess
import sys
import textwrap
import threading

import pytest

import quillet_motor_controller as qmc

ERROR, WARN, INFO, DEBUG, TRACE = 1, 2, 3, 4, 5


@pytest.fixture
def target(request, caplog):
    """A target of this test's own, its logger, and the records that logger and its children got."""
    name = "qmc_tests::" + request.node.name.replace("[", "_").replace("]", "").replace("-", "_")
    logger = logging.getLogger(name.replace("::", "."))
    return name, logger, lambda: [r for r in caplog.records if (r.name + ".").startswith(logger.name + ".")]


@pytest.mark.test_surface
def test_levels_map_to_python_numbers_and_trace_is_never_forwarded(target):
    name, logger, records = target
    logger.setLevel(1)
    for level in (ERROR, WARN, INFO, DEBUG, TRACE):
        qmc._log(level, name, f"level {level}")
    assert [r.levelno for r in records()] == [40, 30, 20, 10]
    assert [r.levelname for r in records()] == ["ERROR", "WARNING", "INFO", "DEBUG"]
    assert [r.getMessage() for r in records()] == [f"level {n}" for n in (1, 2, 3, 4)]
    record = records()[0]
    assert record.name == name.replace("::", ".")
    assert record.name.startswith("qmc_tests.")
    assert record.pathname.endswith(".cpp")
    assert record.lineno > 0
    assert record.args == ()
    assert record.exc_info is None


@pytest.mark.test_surface
def test_logger_name_replaces_every_separator(target):
    name, _, records = target
    deep = name + "::inner::leaf"
    qmc._log(WARN, deep, "deep")
    assert [(r.name, r.getMessage()) for r in records()] == [(deep.replace("::", "."), "deep")]


@pytest.mark.test_surface
def test_level_filter_is_taken_at_the_first_record_and_never_lowered(target):
    name, logger, records = target
    logger.setLevel(logging.WARNING)
    qmc._log(WARN, name, "first")
    logger.setLevel(logging.DEBUG)
    qmc._log(INFO, name, "info after lowering")
    qmc._log(DEBUG, name, "debug after lowering")
    qmc._log(WARN, name, "warn after lowering")
    assert [r.getMessage() for r in records()] == ["first", "warn after lowering"]
    # Raising the level still takes effect: the logger is asked for every record.
    logger.setLevel(logging.ERROR)
    qmc._log(WARN, name, "warn after raising")
    qmc._log(ERROR, name, "error after raising")
    assert [r.getMessage() for r in records()][-1] == "error after raising"
    assert "warn after raising" not in [r.getMessage() for r in records()]


@pytest.mark.test_surface
def test_filtered_records_never_enter_python_and_loggers_are_looked_up_once(target, monkeypatch):
    name, logger, records = target
    logger.setLevel(logging.INFO)
    lookups = []
    real_get_logger = logging.getLogger

    def counting_get_logger(*args):
        lookups.append(args)
        return real_get_logger(*args)

    monkeypatch.setattr(logging, "getLogger", counting_get_logger)
    qmc._log(INFO, name, "first")
    assert lookups == [(name.replace("::", "."),)]
    asked = []
    real_is_enabled_for = logger.isEnabledFor

    def counting_is_enabled_for(level):
        asked.append(level)
        return real_is_enabled_for(level)

    monkeypatch.setattr(logger, "isEnabledFor", counting_is_enabled_for)
    for _ in range(5):
        qmc._log(DEBUG, name, "filtered out by the cached filter")
        qmc._log(TRACE, name, "never forwarded")
    assert asked == []
    qmc._log(WARN, name, "kept")
    assert asked == [30]
    assert lookups == [(name.replace("::", "."),)]
    assert [r.getMessage() for r in records()] == ["first", "kept"]


@pytest.mark.test_surface
def test_a_child_target_takes_the_filter_of_its_deepest_cached_ancestor(target, monkeypatch):
    """Only a target's own node was looked up: after a::b was cached at warning level, an info
    record of a::b::c was delivered."""
    name, logger, records = target
    logger.setLevel(logging.WARNING)
    qmc._log(WARN, name, "caches the parent's filter")
    logger.setLevel(logging.DEBUG)  # not seen: the filter is never lowered
    lookups = []
    real_get_logger = logging.getLogger
    monkeypatch.setattr(logging, "getLogger", lambda *args: lookups.append(args) or real_get_logger(*args))
    qmc._log(INFO, name + "::child::leaf", "dropped without entering Python")
    assert lookups == []
    qmc._log(WARN, name + "::child", "kept")
    assert [r.getMessage() for r in records()] == ["caches the parent's filter", "kept"]


@pytest.mark.test_surface
def test_level_filter_off_when_logger_accepts_nothing(target):
    name, logger, records = target
    logger.setLevel(logging.CRITICAL)
    qmc._log(ERROR, name, "dropped")
    logger.setLevel(1)
    qmc._log(ERROR, name, "still dropped: filter cached as off")
    assert records() == []


@pytest.mark.test_surface
def test_exception_pending_before_a_record_survives_it(target):
    name, logger, records = target
    logger.setLevel(1)
    pending = KeyError("pending before the record")
    with pytest.raises(KeyError) as info:
        qmc._log(WARN, name, "during error handling", pending)
    assert info.value is pending
    assert [r.getMessage() for r in records()] == ["during error handling"]


class Boom(Exception):
    pass


@pytest.mark.test_surface
def test_exception_raised_by_logging_is_left_pending_unless_one_was_already(target):
    name, logger, records = target
    logger.setLevel(1)

    def failing_filter(record):
        raise Boom("from a logging filter")

    logger.addFilter(failing_filter)
    try:
        # The test function raises whatever is pending after the record.
        with pytest.raises(Boom):
            qmc._log(WARN, name, "raises in logging")
        pending = ValueError("pending first")
        with pytest.raises(ValueError) as info:
            qmc._log(WARN, name, "raises again", pending)
        assert info.value is pending
    finally:
        logger.removeFilter(failing_filter)
    assert records() == []


@pytest.mark.test_surface
def test_record_from_a_thread_python_does_not_know(target):
    name, logger, records = target
    logger.setLevel(1)
    qmc._log_from_thread(INFO, name, "from a foreign thread", 3)
    assert [r.getMessage() for r in records()] == ["from a foreign thread"] * 3
    assert all(r.thread != threading.get_ident() for r in records())


@pytest.mark.test_surface
def test_records_from_many_threads_at_once(target):
    name, logger, records = target
    logger.setLevel(1)
    threads = [
        threading.Thread(target=qmc._log_from_thread, args=(INFO, name, f"foreign {i}", 50))
        for i in range(3)
    ] + [
        threading.Thread(target=lambda i=i: [qmc._log(WARN, name, f"python {i}") for _ in range(50)])
        for i in range(3)
    ]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    messages = [r.getMessage() for r in records()]
    assert len(messages) == 300
    for i in range(3):
        assert messages.count(f"foreign {i}") == 50
        assert messages.count(f"python {i}") == 50


def run_python(code, timeout=60):
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True, text=True, timeout=timeout, env=env,
    )


@pytest.mark.test_surface
def test_real_targets_map_to_the_module_loggers_with_the_cached_filter():
    result = run_python(
        """
        import logging, sys
        logging.basicConfig(level=1, stream=sys.stdout, format="%(name)s %(levelno)s %(message)s")
        import quillet_motor_controller as qmc
        logging.getLogger("quillet_motor_controller.controller").setLevel(logging.WARNING)
        qmc._log(2, "quillet_motor_controller::controller", "clamped")
        logging.getLogger("quillet_motor_controller.controller").setLevel(logging.DEBUG)
        qmc._log(3, "quillet_motor_controller::controller", "info hidden")
        qmc._log(4, "quillet_motor_controller::controller", "debug hidden")
        qmc._log(3, "quillet_motor_controller::control_loop", "loop info")
        qmc._log(5, "quillet_motor_controller::control_loop", "loop trace hidden")
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [
        "quillet_motor_controller.controller 30 clamped",
        "quillet_motor_controller.control_loop 20 loop info",
    ]


def test_import_fails_when_logging_cannot_be_imported():
    result = run_python(
        """
        import sys
        sys.modules["logging"] = None
        try:
            import quillet_motor_controller
        except Exception as error:
            print(type(error).__name__, error)
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.startswith("ImportError Failed to initialize python logging")


SHUTDOWN_CASES = {
    "foreign thread logging through exit": """
        import logging, sys, time
        logging.basicConfig(level=1, stream=sys.stdout, format="%(message)s")
        import quillet_motor_controller as qmc
        qmc._start_log_thread(3, "qmc_tests::shutdown", "tick", 10**7, 20)
        time.sleep(0.05)
    """,
    "foreign threads without pauses": """
        import logging, sys
        logging.basicConfig(level=1, stream=sys.stdout, format="%(message)s")
        import quillet_motor_controller as qmc
        for _ in range(4):
            qmc._start_log_thread(3, "qmc_tests::shutdown", "tick", 10**7, 0)
        import time; time.sleep(0.02)
    """,
    "daemon python thread and foreign thread": """
        import logging, sys, threading, time
        logging.basicConfig(level=1, stream=sys.stdout, format="%(message)s")
        import quillet_motor_controller as qmc
        def spin():
            while True:
                qmc._log(3, "qmc_tests::shutdown", "tick from python")
        threading.Thread(target=spin, daemon=True).start()
        qmc._start_log_thread(3, "qmc_tests::shutdown", "tick", 10**7, 5)
        time.sleep(0.05)
    """,
    "foreign thread started by an exit hook": """
        import atexit, logging, sys
        logging.basicConfig(level=1, stream=sys.stdout, format="%(message)s")
        import quillet_motor_controller as qmc
        atexit.register(qmc._start_log_thread, 3, "qmc_tests::shutdown", "tick", 10**7, 0)
        qmc._log(3, "qmc_tests::shutdown", "tick before exit")
    """,
    "sys.exit from a thread-heavy program": """
        import logging, sys
        logging.basicConfig(level=1, stream=sys.stdout, format="%(message)s")
        import quillet_motor_controller as qmc
        qmc._start_log_thread(1, "qmc_tests::shutdown", "tick", 10**7, 1)
        qmc._log(3, "qmc_tests::shutdown", "tick before exit")
        sys.exit(0)
    """,
}


@pytest.mark.test_surface
@pytest.mark.parametrize("case", sorted(SHUTDOWN_CASES))
def test_records_during_and_after_interpreter_shutdown_are_dropped_without_harm(case):
    for _ in range(5):
        result = run_python(SHUTDOWN_CASES[case], timeout=30)
        assert result.returncode == 0, (result.returncode, result.stderr[-2000:])
        assert "tick" in result.stdout
        assert "Fatal" not in result.stderr and "terminate" not in result.stderr


@pytest.mark.test_surface
def test_records_of_exit_handlers_registered_before_the_import_are_delivered():
    """The bridge closed in its own atexit hook, which runs before every handler registered
    earlier: their records were dropped."""
    result = run_python(
        """
        import atexit, logging, sys
        logging.basicConfig(level=1, stream=sys.stdout, format="%(message)s")
        def park():
            qmc._log(3, "qmc_tests::exit", "parking")
            qmc._log_from_thread(3, "qmc_tests::exit", "parked, from another thread", 1)
        atexit.register(park)
        import quillet_motor_controller as qmc
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == ["parking", "parked, from another thread"]


@pytest.mark.test_surface
def test_waits_on_a_logging_thread_release_the_interpreter_lock():
    # A wait that kept the interpreter lock would never end: the waited-on thread needs the lock
    # to deliver its records. A fresh interpreter, so that a regression hangs only it.
    result = run_python(
        """
        import logging, sys
        logging.basicConfig(level=1, stream=sys.stdout, format="%(message)s")
        import quillet_motor_controller as qmc
        print(qmc._gil_wait("mutex", "qmc_tests::gil", 20))
        print(qmc._gil_wait("condition", "qmc_tests::gil", 20))
        print(qmc._gil_wait("timeout", "qmc_tests::gil", 20))
        """,
        timeout=30,
    )
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert lines.count("while waited on") == 60
    assert [line for line in lines if line != "while waited on"] == ["True", "True", "False"]


@pytest.mark.test_surface
def test_records_from_foreign_threads_leave_nothing_behind():
    # Each record of a foreign thread runs under a thread state made for it. In a fresh
    # interpreter, since the test runner keeps the records its own handlers capture.
    result = run_python(
        """
        import gc, logging, threading, tracemalloc
        import quillet_motor_controller as qmc
        logger = logging.getLogger("qmc_tests.foreign_memory")
        logger.addHandler(logging.NullHandler())
        logger.propagate = False
        logger.setLevel(1)
        qmc._log_from_thread(3, "qmc_tests::foreign_memory", "warm-up", 100)
        gc.collect()
        tracemalloc.start()
        first, _ = tracemalloc.get_traced_memory()
        qmc._log_from_thread(3, "qmc_tests::foreign_memory", "record", 5000)
        gc.collect()
        last, _ = tracemalloc.get_traced_memory()
        print(last - first, len(threading._active), threading.active_count())
        """
    )
    assert result.returncode == 0, result.stderr
    growth, active, count = map(int, result.stdout.split())
    assert growth < 64 * 1024
    assert active == count == 1

// The bridge from the system's log records to Python's `logging`: the process-wide log sink.
//
// How to use: module initialisation calls `install_log_bridge()` once, with the interpreter lock
// held; from then on every QUILLET_LOG of any thread reaches the Python logger named after its
// target ("a::b" -> "a.b") at levels Error 40, Warn 30, Info 20, Debug 10 (Trace is never
// forwarded). The logger and its level filter are cached per target at its first record, so
// records filtered out never touch the interpreter (a target without an entry of its own takes
// the filter of its deepest cached ancestor).
//
// A record is delivered on the thread that logs it. An exception raised by its delivery (a
// handler that raises, Ctrl-C during a slow one) stays pending for that thread's caller, unless
// one was pending before the record; on a thread that Python does not know (the control loop's),
// which has no caller, it goes to sys.unraisablehook.
//
// Records are delivered as long as Python code can run at exit: the bridge closes once the last
// atexit function has run, and records after that are dropped without entering Python.
#pragma once

namespace quillet::py {

// The first call imports `logging` and installs the sink; later calls do nothing. False with
// ImportError "Failed to initialize python logging: ..." pending on failure.
bool install_log_bridge();

// Holds back the records this thread logs while it lives and delivers them, in order, when it
// goes (the outermost one, when several are nested). A thread that holds a controller object's
// lock keeps one: a handler run meanwhile that called that controller, or waited for a thread
// that does, would wait for ever. Declare it before the lock, so that the lock goes first:
//   HeldRecords held;
//   std::unique_lock lock = lock_releasing_gil(object.mutex);
// The interpreter lock is held where it is created and where it goes.
class HeldRecords {
 public:
  HeldRecords() noexcept;
  ~HeldRecords();
  HeldRecords(const HeldRecords&) = delete;
  HeldRecords& operator=(const HeldRecords&) = delete;
};

}  // namespace quillet::py

#include "bindings/log_bridge.hpp"

#include "bindings/python.hpp"

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "bindings/py_ref.hpp"
#include "support/log.hpp"

namespace quillet::py {
namespace {

using log::Level;

// Highest level let through; Off lets nothing through.
enum class LevelFilter : std::uint8_t { Off = 0, Error = 1, Warn = 2, Info = 3, Debug = 4, Trace = 5 };

constexpr LevelFilter kTopFilter = LevelFilter::Debug;

bool allows(LevelFilter filter, Level level) {
  return static_cast<std::uint8_t>(level) <= static_cast<std::uint8_t>(filter);
}

int python_level(Level level) {
  switch (level) {
    case Level::Error: return 40;
    case Level::Warn: return 30;
    case Level::Info: return 20;
    case Level::Debug: return 10;
    case Level::Trace: return 5;
  }
  return 0;
}

// One node per "::" segment of a target. Nodes are immutable once published: an update copies
// the path from the root down to the changed node and swaps the root.
struct CacheNode {
  struct Entry {
    PyObject* logger;  // a strong reference, never released
    LevelFilter filter;
  };
  std::map<std::string, std::shared_ptr<const CacheNode>, std::less<>> children;
  std::optional<Entry> entry;
};

// Calls `each(segment)` for the "::"-separated segments of `target`.
template <class F>
void for_each_segment(std::string_view target, F each) {
  for (;;) {
    const std::size_t end = target.find("::");
    each(target.substr(0, end));
    if (end == std::string_view::npos) return;
    target.remove_prefix(end + 2);
  }
}

// This thread's records being delivered right now (so that a close on this thread does not
// wait for itself).
thread_local int t_delivering = 0;

// Records held back on this thread (see HeldRecords), and how many HeldRecords it has alive.
struct HeldRecord {
  Level level;
  std::string target, message, file;
  std::uint32_t line;
};
thread_local int t_holding = 0;
thread_local std::vector<HeldRecord> t_held;

class Bridge final : public log::Sink {
 public:
  explicit Bridge(Ref logging) : logging_(std::move(logging)) {
    auto root = std::make_shared<const CacheNode>();
    root_.store(root.get(), std::memory_order_release);
    published_.push_back(std::move(root));
  }

  bool init_names() {
    get_logger_ = Ref::steal(PyUnicode_InternFromString("getLogger"));
    is_enabled_for_ = Ref::steal(PyUnicode_InternFromString("isEnabledFor"));
    make_record_ = Ref::steal(PyUnicode_InternFromString("makeRecord"));
    handle_ = Ref::steal(PyUnicode_InternFromString("handle"));
    empty_args_ = Ref::steal(PyTuple_New(0));
    return get_logger_ && is_enabled_for_ && make_record_ && handle_ && empty_args_;
  }

  bool enabled(Level level, std::string_view target) const noexcept override {
    return !closed_.load(std::memory_order_acquire) && passes(level, lookup(target));
  }

  void log(Level level, std::string_view target, std::string_view message, std::string_view file,
           std::uint32_t line) noexcept override {
    const Found found = lookup(target);
    if (!passes(level, found)) return;
    if (t_holding > 0) {
      try {
        t_held.push_back({level, std::string(target), std::string(message), std::string(file), line});
      } catch (...) {
        // std::bad_alloc: the record is lost, the process goes on.
      }
      return;
    }
    // Announce the delivery before checking for shutdown; `close` waits for announced ones.
    in_flight_.fetch_add(1, std::memory_order_seq_cst);
    ++t_delivering;
    if (!closed_.load(std::memory_order_seq_cst) && !Py_IsFinalizing()) {
      const bool has_caller = PyGILState_GetThisThreadState() != nullptr;
      const PyGILState_STATE gil = PyGILState_Ensure();
      try {
        deliver(level, target, message, file, line, found.node, has_caller);
      } catch (...) {
        // std::bad_alloc from building a name: the record is lost, the process goes on.
      }
      PyGILState_Release(gil);
    }
    --t_delivering;
    in_flight_.fetch_sub(1, std::memory_order_seq_cst);
    in_flight_.notify_all();
  }

  // Called once at interpreter exit, before the interpreter starts finalizing, with the
  // interpreter lock held: no record enters Python afterwards. Deliveries already past the check
  // are waited for, the lock released meanwhile, so that no thread is inside one when CPython
  // starts ending the threads that take the interpreter lock (inside `log`, which is noexcept,
  // that would abort).
  void close() noexcept {
    closed_.store(true, std::memory_order_seq_cst);
    const int own = t_delivering;
    if (in_flight_.load(std::memory_order_seq_cst) <= own) return;
    Py_BEGIN_ALLOW_THREADS
    for (int value = in_flight_.load(); value > own; value = in_flight_.load()) {
      in_flight_.wait(value);
    }
    Py_END_ALLOW_THREADS
  }

 private:
  struct Found {
    const CacheNode* node = nullptr;              // the target's own node, if any
    const CacheNode::Entry* deepest = nullptr;    // the entry nearest the target on its path
  };

  // A target without an entry of its own takes the filter of its deepest cached ancestor: its
  // Python logger inherits that logger's level unless it was given one.
  Found lookup(std::string_view target) const noexcept {
    Found found;
    const CacheNode* node = root_.load(std::memory_order_acquire);
    if (node->entry) found.deepest = &*node->entry;
    for_each_segment(target, [&](std::string_view segment) {
      if (node == nullptr) return;
      const auto child = node->children.find(segment);
      node = child == node->children.end() ? nullptr : child->second.get();
      if (node != nullptr && node->entry) found.deepest = &*node->entry;
    });
    found.node = node;
    return found;
  }

  static bool passes(Level level, const Found& found) noexcept {
    if (!allows(kTopFilter, level)) return false;
    return found.deepest == nullptr || allows(found.deepest->filter, level);
  }

  // With the interpreter lock held. `has_caller`: this thread runs Python code that will see an
  // exception left pending.
  void deliver(Level level, std::string_view target, std::string_view message,
               std::string_view file, std::uint32_t line, const CacheNode* node, bool has_caller) {
    Ref pending = Ref::steal(PyErr_GetRaisedException());
    std::string name;
    for_each_segment(target, [&](std::string_view segment) {
      if (!name.empty()) name += '.';
      name += segment;
    });
    // Finding a cached entry under the lock again would change nothing: nodes never change.
    const bool cached = node != nullptr && node->entry.has_value();
    Ref logger = forward(level, name, target, message, file, line,
                         cached ? node->entry->logger : nullptr);
    if (!has_caller && PyErr_Occurred()) {
      // Reported as raised "in" the logger (or its name, when even getLogger failed).
      Ref in = logger ? std::move(logger)
                      : Ref::steal(PyUnicode_DecodeUTF8(name.data(),
                                                        static_cast<Py_ssize_t>(name.size()), "replace"));
      PyErr_WriteUnraisable(in.get());
    }
    // An exception raised by logging stays pending, unless one was pending before the record.
    if (pending) PyErr_SetRaisedException(pending.release());
  }

  // The logger the record went to, null when none was found.
  Ref forward(Level level, const std::string& name, std::string_view target,
              std::string_view message, std::string_view file, std::uint32_t line,
              PyObject* cached_logger) {
    Ref py_name = Ref::steal(PyUnicode_DecodeUTF8(name.data(), static_cast<Py_ssize_t>(name.size()),
                                                  "replace"));
    if (!py_name) return Ref();
    Ref logger = cached_logger != nullptr
                     ? Ref::new_ref(cached_logger)
                     : Ref::steal(call_method_one_arg(logging_.get(), get_logger_.get(), py_name.get()));
    if (!logger) return logger;
    Ref levelno = Ref::steal(PyLong_FromLong(python_level(level)));
    if (!levelno) return logger;
    const int on = is_enabled_for(logger, levelno);
    if (on < 0) return logger;
    if (on == 1) {
      Ref text = Ref::steal(PyUnicode_DecodeUTF8(
          message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
      Ref path = Ref::steal(
          PyUnicode_DecodeUTF8(file.data(), static_cast<Py_ssize_t>(file.size()), "replace"));
      Ref lineno = Ref::steal(PyLong_FromUnsignedLong(line));
      if (!text || !path || !lineno) return logger;
      Ref record = Ref::steal(PyObject_CallMethodObjArgs(
          logger.get(), make_record_.get(), py_name.get(), levelno.get(), path.get(),
          lineno.get(), text.get(), empty_args_.get(), Py_None, nullptr));
      if (!record) return logger;
      Ref handled = Ref::steal(call_method_one_arg(logger.get(), handle_.get(), record.get()));
      if (!handled) return logger;
    }
    if (cached_logger == nullptr) store(target, logger);
    return logger;
  }

  // 1, 0, or -1 with a Python exception pending.
  int is_enabled_for(const Ref& logger, const Ref& levelno) {
    Ref result = Ref::steal(call_method_one_arg(logger.get(), is_enabled_for_.get(), levelno.get()));
    return result ? PyObject_IsTrue(result.get()) : -1;
  }

  // Takes the logger's level filter (the lowest level it lets through) and publishes a copy of
  // the cache with the target's entry. Writers hold the interpreter lock, so they never race.
  void store(std::string_view target, Ref logger) {
    LevelFilter filter = LevelFilter::Off;
    constexpr std::pair<int, LevelFilter> kProbes[] = {{5, LevelFilter::Trace},
                                                       {10, LevelFilter::Debug},
                                                       {20, LevelFilter::Info},
                                                       {30, LevelFilter::Warn},
                                                       {40, LevelFilter::Error}};
    for (const auto& [number, candidate] : kProbes) {
      Ref levelno = Ref::steal(PyLong_FromLong(number));
      if (!levelno) return;
      const int on = is_enabled_for(logger, levelno);
      if (on < 0) return;
      if (on == 1) {
        filter = candidate;
        break;
      }
    }
    std::vector<std::string_view> segments;
    for_each_segment(target, [&](std::string_view segment) { segments.push_back(segment); });
    auto root = with_entry(root_.load(std::memory_order_acquire), segments, 0,
                           CacheNode::Entry{logger.release(), filter});
    root_.store(root.get(), std::memory_order_release);
    published_.push_back(std::move(root));  // readers may still walk the older trees
  }

  static std::shared_ptr<const CacheNode> with_entry(const CacheNode* node,
                                                     const std::vector<std::string_view>& path,
                                                     std::size_t depth, CacheNode::Entry entry) {
    auto copy = node != nullptr ? std::make_shared<CacheNode>(*node) : std::make_shared<CacheNode>();
    if (depth == path.size()) {
      copy->entry = entry;
      return copy;
    }
    const auto child = copy->children.find(path[depth]);
    const CacheNode* old = child == copy->children.end() ? nullptr : child->second.get();
    copy->children.insert_or_assign(std::string(path[depth]),
                                    with_entry(old, path, depth + 1, entry));
    return copy;
  }

  Ref logging_;
  Ref get_logger_, is_enabled_for_, make_record_, handle_, empty_args_;
  std::atomic<const CacheNode*> root_{nullptr};
  std::vector<std::shared_ptr<const CacheNode>> published_;
  std::atomic<bool> closed_{false};
  std::atomic<int> in_flight_{0};
};

// Never destroyed: records may come from threads that outlive everything else.
Bridge* g_bridge = nullptr;

// The bridge closes when atexit lets go of this function, not when it calls it: atexit calls its
// functions last registered first, so a call would close the bridge before the exit functions
// registered before the import (a program's own shutdown that parks the arms) have run. It lets
// go of them all once the last one has returned, and the interpreter starts finalizing only
// after that.
constexpr const char* kExitCapsule = "quillet_motor_controller._log_bridge";

PyObject* nothing_yet(PyObject*, PyObject*) { Py_RETURN_NONE; }

PyMethodDef g_exit_def = {"_quillet_motor_controller_log_bridge_at_exit", nothing_yet, METH_NOARGS,
                          nullptr};

void close_when_released(PyObject* capsule) {
  static_cast<Bridge*>(PyCapsule_GetPointer(capsule, kExitCapsule))->close();
}

bool failed_to_initialize() {
  Ref cause = Ref::steal(PyErr_GetRaisedException());
  Ref text = Ref::steal(PyUnicode_FromFormat("Failed to initialize python logging: %S", cause.get()));
  Ref error = text ? Ref::steal(call_one_arg(PyExc_ImportError, text.get())) : Ref();
  if (!error) return false;
  PyException_SetCause(error.get(), cause.release());
  PyErr_SetRaisedException(error.release());
  return false;
}

}  // namespace

bool install_log_bridge() {
  if (g_bridge != nullptr) return true;
  Ref logging = Ref::steal(PyImport_ImportModule("logging"));
  if (!logging) return failed_to_initialize();
  auto bridge = std::make_unique<Bridge>(std::move(logging));
  if (!bridge->init_names()) return failed_to_initialize();
  Ref atexit = Ref::steal(PyImport_ImportModule("atexit"));
  Ref capsule = Ref::steal(PyCapsule_New(bridge.get(), kExitCapsule, close_when_released));
  Ref hook = capsule ? Ref::steal(PyCFunction_New(&g_exit_def, capsule.get())) : Ref();
  if (!atexit || !hook) return failed_to_initialize();
  Ref registered = Ref::steal(PyObject_CallMethod(atexit.get(), "register", "O", hook.get()));
  if (!registered) return failed_to_initialize();
  g_bridge = bridge.release();
  log::set_sink(g_bridge);
  return true;
}

HeldRecords::HeldRecords() noexcept { ++t_holding; }

HeldRecords::~HeldRecords() {
  if (--t_holding > 0 || t_held.empty()) return;
  // Handlers may log again (through a controller they call): those records are theirs.
  std::vector<HeldRecord> records = std::move(t_held);
  t_held.clear();
  for (const HeldRecord& r : records) log::write(r.level, r.target, r.message, r.file, r.line);
}

}  // namespace quillet::py

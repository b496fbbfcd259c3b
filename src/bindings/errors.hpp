// The one place where C++ errors become Python exceptions.
//
// How to use, inside a method body (the interpreter lock held):
//   auto result = controller.read_all_positions();
//   if (!result) return raise_error(result.error());            // RuntimeError(display text)
//   if (!r) return raise_error("Failed to read raw bytes: ", r.error());   // with a prefix
//   return raise_runtime_error("QuilletMotorController is closed");   // a fixed text
// Error values are any type with `message()` giving their display text; those with `notes()`
// add each note to the exception (PEP 678, `__notes__`): the cause in words for people, which
// the message, fixed as it is, cannot carry. A controller error that refuses an argument is the
// caller's fault: ValueError("argument '<argument>': position is not a number (NaN)", "gain is
// ...", or the refusal's reason), prefix or not. Every
// function that CPython calls (methods, tp_new, getters, repr) wraps its body in `guarded`, so
// that a C++ exception (a broken invariant, std::bad_alloc, ...) becomes the internal-fault
// exception instead of terminating the interpreter:
//   PyObject* method(PyObject* self, PyObject* const* args, Py_ssize_t n, PyObject* kw) {
//     return guarded([&]() -> PyObject* { ... });
//   }
// `raise_fault(text)` raises the internal-fault exception directly (a C++ check that failed).
//
// An exception that is already pending when a method ends, raised by the delivery of one of its
// log records or by a signal handler during its operation, is what the method raises: the
// raise_ functions leave it in place, and `guarded` drops a result returned with it. The bus
// operation is not undone.
#pragma once

#include "bindings/python.hpp"

#include <concepts>
#include <cxxabi.h>
#include <exception>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "bindings/py_ref.hpp"
#include "controller/error.hpp"

namespace quillet::py {

// The Python type of internal faults: a built-in type, since the module defines no exception
// classes of its own.
inline PyObject* fault_type() noexcept { return PyExc_SystemError; }

// Each returns null, so that a method can `return raise_...(...)`.
PyObject* raise_runtime_error(std::string_view text) noexcept;
PyObject* raise_runtime_error(std::string_view text, const std::vector<std::string>& notes) noexcept;
PyObject* raise_fault(std::string_view text) noexcept;
// Raises `type` with `text` (UTF-8, invalid bytes replaced).
PyObject* raise_with_text(PyObject* type, std::string_view text) noexcept;

template <class E>
concept ErrorValue = requires(const E& error) {
  { error.message() } -> std::convertible_to<std::string_view>;
};

template <class E>
concept HasNotes = requires(const E& error) {
  { error.notes() } -> std::convertible_to<std::vector<std::string>>;
};

template <ErrorValue E>
PyObject* raise_error(std::string_view prefix, const E& error) {
  std::string text(prefix);
  text += error.message();
  if constexpr (HasNotes<E>) {
    return raise_runtime_error(text, error.notes());
  } else {
    return raise_runtime_error(text);
  }
}

template <ErrorValue E>
PyObject* raise_error(const E& error) {
  return raise_error(std::string_view(), error);
}

PyObject* raise_error(const controller::Error& error);
PyObject* raise_error(std::string_view prefix, const controller::Error& error);

// An argument checked by its controller rule (controller/inputs.hpp), where it enters: the
// checked value, or nothing with its error raised.
//   auto goals = checked(controller::Positions<3>::check(operation, "position", raw));
//   if (!goals) return nullptr;
template <class T>
std::optional<T> checked(std::expected<T, controller::Error> input) {
  if (input) return std::move(*input);
  raise_error(input.error());
  return std::nullopt;
}

namespace detail {
void fault_from_current_exception() noexcept;

// A method never returns a value with an exception set: the exception wins.
inline PyObject* ended(PyObject* result) noexcept {
  if (result == nullptr || !PyErr_Occurred()) return result;
  Ref dropped = Ref::steal(result);
  return nullptr;
}
template <class Status>
  requires std::is_integral_v<Status>
Status ended(Status status) noexcept {
  return status >= 0 && PyErr_Occurred() ? Status{-1} : status;
}
}  // namespace detail

// Runs `body`, whose result is what CPython expects (PyObject*, or int with -1 for failure).
// A C++ exception leaving `body` is turned into the internal-fault exception and the failure
// value is returned. The forced unwind of a thread that CPython ends during interpreter shutdown
// passes through untouched.
template <class F>
auto guarded(F&& body) -> std::invoke_result_t<F&> {
  using Result = std::invoke_result_t<F&>;
  static_assert(std::is_same_v<Result, PyObject*> || std::is_integral_v<Result>,
                "a CPython entry point returns an object or an integer status");
  try {
    return detail::ended(body());
  } catch (abi::__forced_unwind&) {
    throw;
  } catch (...) {
    detail::fault_from_current_exception();
  }
  if constexpr (std::is_same_v<Result, PyObject*>) {
    return nullptr;
  } else {
    return -1;
  }
}

}  // namespace quillet::py
